"""The client library's C interface (<vci-ident/vci_ident.h>) through ctypes.

The library is libvci-ident-client.so.1, found as the system's dynamic
loader finds it; $VCI_IDENT_LIBRARY names another file (a build tree's).
"""

import ctypes
import ctypes.util
import os

SONAME = "libvci-ident-client.so.1"
TEXT_MAX = 512


def _load():
    path = os.environ.get("VCI_IDENT_LIBRARY")
    if path:
        return ctypes.CDLL(path)
    try:
        return ctypes.CDLL(SONAME)
    except OSError:
        found = ctypes.util.find_library("vci-ident-client")
        if found is None:
            raise ImportError(f"vci_ident needs {SONAME} (the package libvci-ident-client1), "
                              "or $VCI_IDENT_LIBRARY naming it") from None
        return ctypes.CDLL(found)


lib = _load()

_p = ctypes.c_void_p
_u32 = ctypes.c_uint32
_int = ctypes.c_int
_size = ctypes.c_size_t
_str = ctypes.c_char_p

TABLE_CALLBACK = ctypes.CFUNCTYPE(None, _p, _p, _p)
BINDINGS_CALLBACK = ctypes.CFUNCTYPE(None, _p, _p, _p)
ERROR_CALLBACK = ctypes.CFUNCTYPE(None, _p, _u32, _p)
LOST_CALLBACK = ctypes.CFUNCTYPE(None, _p, _int, _p)
BACK_CALLBACK = ctypes.CFUNCTYPE(None, _p, _p, _p)

# name: (result, arguments); the texts' functions all take (..., buffer, size).
_PROTOTYPES = {
    "vci_ident_result_text": (_size, [_int, _str, _size]),
    "vci_ident_event_error_text": (_size, [_u32, _str, _size]),
    "vci_ident_bluetooth_command_name": (_size, [_u32, _str, _size]),
    "vci_ident_bluetooth_result_text": (_size, [_u32, _int, _str, _size]),
    "vci_ident_version_text": (_size, [_u32, _str, _size]),
    "vci_ident_build_date_text": (_size, [_u32, _str, _size]),
    "vci_ident_kind_name": (_size, [_u32, _str, _size]),
    "vci_ident_kinds_text": (_size, [_u32, _str, _size]),
    "vci_ident_options_new": (_p, []),
    "vci_ident_options_free": (None, [_p]),
    "vci_ident_options_set_client_name": (_int, [_p, _str]),
    "vci_ident_options_set_service": (_int, [_p, _str, ctypes.c_uint16]),
    "vci_ident_options_set_persist_log": (_int, [_p, _int]),
    "vci_ident_options_set_reply_wait_ms": (_int, [_p, _u32]),
    "vci_ident_options_set_bluetooth_reply_wait_ms": (_int, [_p, _u32]),
    "vci_ident_options_set_connect_pause_ms": (_int, [_p, _u32]),
    "vci_ident_options_set_retry_ms": (_int, [_p, _u32, _u32]),
    "vci_ident_options_set_run_mode": (_int, [_p, _int]),
    "vci_ident_options_on_table": (_int, [_p, TABLE_CALLBACK, _p]),
    "vci_ident_options_on_bindings": (_int, [_p, BINDINGS_CALLBACK, _p]),
    "vci_ident_options_on_service_error": (_int, [_p, ERROR_CALLBACK, _p]),
    "vci_ident_options_on_service_lost": (_int, [_p, LOST_CALLBACK, _p]),
    "vci_ident_options_on_service_back": (_int, [_p, BACK_CALLBACK, _p]),
    "vci_ident_new": (_int, [ctypes.POINTER(_p), _p]),
    "vci_ident_free": (None, [_p]),
    "vci_ident_connect": (_int, [_p]),
    "vci_ident_disconnect": (_int, [_p]),
    "vci_ident_is_registered": (_int, [_p]),
    "vci_ident_fd": (_int, [_p]),
    "vci_ident_dispatch": (_int, [_p]),
    "vci_ident_get_service": (_int, [_p, ctypes.POINTER(_p)]),
    "vci_ident_get_table": (_int, [_p, ctypes.POINTER(_p)]),
    "vci_ident_get_bindings": (_int, [_p, ctypes.POINTER(_p)]),
    "vci_ident_bluetooth_command": (_int, [_p, _u32, _u32]),
    "vci_ident_fetch_data_files": (_int, [_p, ctypes.POINTER(_p), ctypes.POINTER(_u32)]),
    "vci_ident_service_free": (None, [_p]),
    "vci_ident_service_session_id": (_u32, [_p]),
    "vci_ident_service_version_number": (_u32, [_p]),
    "vci_ident_service_build_date": (_u32, [_p]),
    "vci_ident_service_instance_token": (_u32, [_p]),
    "vci_ident_service_product_name": (_str, [_p]),
    "vci_ident_table_free": (None, [_p]),
    "vci_ident_table_count": (_size, [_p]),
    "vci_ident_table_at": (_p, [_p, _size]),
    "vci_ident_vci_serial": (_u32, [_p]),
    "vci_ident_vci_module_state": (_u32, [_p]),
    "vci_ident_vci_module_type": (_u32, [_p]),
    "vci_ident_vci_kinds": (_u32, [_p]),
    "vci_ident_vci_address_count": (_size, [_p]),
    "vci_ident_vci_address_kind": (_u32, [_p, _size]),
    "vci_ident_vci_address": (_str, [_p, _size]),
    "vci_ident_vci_product_version": (_str, [_p]),
    "vci_ident_vci_product_date": (_str, [_p]),
    "vci_ident_vci_software_count": (_size, [_p, _int]),
    "vci_ident_vci_software_name": (_str, [_p, _int, _size]),
    "vci_ident_vci_software_version": (_str, [_p, _int, _size]),
    "vci_ident_vci_session_count": (_size, [_p]),
    "vci_ident_vci_session_number": (_u32, [_p, _size]),
    "vci_ident_vci_session_text1": (_str, [_p, _size]),
    "vci_ident_vci_session_text2": (_str, [_p, _size]),
    "vci_ident_vci_session_address": (_str, [_p, _size]),
    "vci_ident_vci_session_kind": (_u32, [_p, _size]),
    "vci_ident_vci_session_flag": (_int, [_p, _size]),
    "vci_ident_vci_wireless_reported": (_int, [_p]),
    "vci_ident_vci_wireless_enabled": (_int, [_p]),
    "vci_ident_vci_wireless_value": (ctypes.c_int32, [_p, _int]),
    "vci_ident_vci_bluetooth": (_int, [_p]),
    "vci_ident_vci_legacy": (_int, [_p]),
    "vci_ident_bindings_free": (None, [_p]),
    "vci_ident_bindings_count": (_size, [_p]),
    "vci_ident_binding_vci_address": (_str, [_p, _size]),
    "vci_ident_binding_local_count": (_size, [_p, _size]),
    "vci_ident_binding_local_address": (_str, [_p, _size, _size]),
    "vci_ident_files_free": (None, [_p]),
    "vci_ident_files_count": (_size, [_p]),
    "vci_ident_files_name": (_str, [_p, _size]),
    "vci_ident_files_size": (_size, [_p, _size]),
    "vci_ident_files_data": (_p, [_p, _size]),
}

for _name, (_result, _arguments) in _PROTOTYPES.items():
    _function = getattr(lib, _name)
    _function.restype = _result
    _function.argtypes = _arguments


def text(function, *arguments):
    """The text that one of the library's text functions writes."""
    size = TEXT_MAX
    while True:
        buffer = ctypes.create_string_buffer(size)
        length = function(*arguments, buffer, size)
        if length < size:
            return buffer.value.decode("utf-8", "replace")
        size = length + 1


def string(value):
    """A text the library hands out; bytes that are not UTF-8 (a session text
    any host of the LAN may announce) become U+FFFD."""
    return value.decode("utf-8", "replace") if value is not None else ""
