"""The VCIs that the VCI identification service on this PC knows.

    import vci_ident

    for vci in vci_ident.list_vcis():
        print(vci.serial, vci.kinds, [a.address for a in vci.addresses])

    with vci_ident.Client(client_name="my-app") as client:
        for event in client.watch():
            if event.kind == "table":
                print([vci.serial for vci in event.table])

A Client registers with the service while it is connected. Its callbacks
and events come on the thread that calls dispatch() or iterates watch(),
never on one of the library's: the client runs in the caller's loop
(fileno() is the descriptor to wait on, for selectors or asyncio's
add_reader). A failure raises Error, which carries the library's code and
its text; a Bluetooth command's failure raises BluetoothError.
"""

import collections
import ctypes
import dataclasses
import select
import time
from typing import Callable, Dict, Iterator, Optional, Tuple

from . import _capi
from ._capi import lib

__version__ = "1.0.0"

# Result codes of the library (any other code is the service's or a socket's).
OK = 0
FAILED = -1
REFUSED = 9237
NOT_REGISTERED = 40001
ALREADY_REGISTERED = 40002
BAD_REPLY = 40003
BAD_ARGUMENT = 40004
IN_CALLBACK = 40005
START_FAILED = 40006
EVENTS_CLOSED = 40007
NO_RESOURCES = 40008

BT_CONNECT = 1
BT_DISCONNECT = 2
BT_SCAN = 3
BT_CHECK_CONNECT_STATE = 4

KIND_ETHERNET = 1
KIND_USB = 2
KIND_WIRELESS = 4
KIND_LOCAL = 8
KIND_BLUETOOTH = 16
MODULE_STATE_RECOVERY = 2

_RUN_IN_LOOP = 1
_APPLICATIONS, _APP_COMPONENTS, _SYS_COMPONENTS = 0, 1, 2


def result_text(code: int) -> str:
    """A result code in words, as every program of the service says it."""
    return _capi.text(lib.vci_ident_result_text, code)


def event_error_text(code: int) -> str:
    return _capi.text(lib.vci_ident_event_error_text, code)


def bluetooth_result_text(command: int, code: int) -> str:
    return _capi.text(lib.vci_ident_bluetooth_result_text, command, code)


def version_text(version_number: int) -> str:
    """0x00010000 -> "1.0.0"."""
    return _capi.text(lib.vci_ident_version_text, version_number)


def kind_name(kind: int) -> str:
    return _capi.text(lib.vci_ident_kind_name, kind)


class Error(Exception):
    """A result code other than 0, with its text."""

    def __init__(self, code: int, text: Optional[str] = None):
        self.code = code
        self.text = text if text is not None else result_text(code)
        super().__init__(self.text)


class BluetoothError(Error):
    def __init__(self, command: int, code: int):
        self.command = command
        super().__init__(code, bluetooth_result_text(command, code))


def _check(code: int) -> None:
    if code != 0:
        raise Error(code)


@dataclasses.dataclass(frozen=True)
class Address:
    kind: str  # "Ethernet", "USB", "Wireless", "Local", "Bluetooth"
    address: str


@dataclasses.dataclass(frozen=True)
class Software:
    name: str
    version: str


@dataclasses.dataclass(frozen=True)
class Session:
    number: int
    text1: str
    text2: str
    address: str
    kind: str
    flag: bool


@dataclasses.dataclass(frozen=True)
class Wireless:
    enabled: bool
    ap_state: int
    link_quality: int  # zone
    link_quality_raw: int
    signal_level: int
    noise_level: int


@dataclasses.dataclass(frozen=True)
class Vci:
    serial: int
    state: int  # module state; MODULE_STATE_RECOVERY in recovery mode
    type: int  # module type
    kinds: Tuple[str, ...]  # heard on now, e.g. ("Ethernet",)
    addresses: Tuple[Address, ...]  # one per kind heard on
    product_version: str  # as the VCI reports it; "" while not known
    product_date: str
    applications: Tuple[Software, ...]
    app_components: Tuple[Software, ...]
    sys_components: Tuple[Software, ...]
    sessions: Tuple[Session, ...]
    wireless: Optional[Wireless]  # None when the VCI reported no wireless interface
    bluetooth: bool  # also known to the Bluetooth discovery
    legacy: bool  # announced with the legacy format or no device token


@dataclasses.dataclass(frozen=True)
class Binding:
    vci_address: str
    local_addresses: Tuple[str, ...]  # the one in use first


@dataclasses.dataclass(frozen=True)
class Service:
    session_id: int
    version_number: int
    version: str  # "1.0.0"
    build_date: str  # "2026-12-06" or "unknown"
    instance_token: int
    product_name: str


@dataclasses.dataclass(frozen=True)
class Event:
    """One callback of the library: kind is "table" (with table), "bindings"
    (with bindings), "error" (code, text), "lost" (code, text: why) or "back"
    (service)."""

    kind: str
    table: Tuple[Vci, ...] = ()
    bindings: Tuple[Binding, ...] = ()
    code: int = 0
    text: str = ""
    service: Optional[Service] = None


def _kinds(bits: int) -> Tuple[str, ...]:
    return tuple(kind_name(1 << bit) for bit in range(32) if bits & (1 << bit))


def _software(vci, which) -> Tuple[Software, ...]:
    return tuple(Software(_capi.string(lib.vci_ident_vci_software_name(vci, which, i)),
                          _capi.string(lib.vci_ident_vci_software_version(vci, which, i)))
                 for i in range(lib.vci_ident_vci_software_count(vci, which)))


def _vci(vci) -> Vci:
    wireless = None
    if lib.vci_ident_vci_wireless_reported(vci):
        wireless = Wireless(bool(lib.vci_ident_vci_wireless_enabled(vci)),
                            *(lib.vci_ident_vci_wireless_value(vci, value) for value in range(5)))
    return Vci(
        serial=lib.vci_ident_vci_serial(vci),
        state=lib.vci_ident_vci_module_state(vci),
        type=lib.vci_ident_vci_module_type(vci),
        kinds=_kinds(lib.vci_ident_vci_kinds(vci)),
        addresses=tuple(Address(kind_name(lib.vci_ident_vci_address_kind(vci, i)),
                                _capi.string(lib.vci_ident_vci_address(vci, i)))
                        for i in range(lib.vci_ident_vci_address_count(vci))),
        product_version=_capi.string(lib.vci_ident_vci_product_version(vci)),
        product_date=_capi.string(lib.vci_ident_vci_product_date(vci)),
        applications=_software(vci, _APPLICATIONS),
        app_components=_software(vci, _APP_COMPONENTS),
        sys_components=_software(vci, _SYS_COMPONENTS),
        sessions=tuple(Session(lib.vci_ident_vci_session_number(vci, i),
                               _capi.string(lib.vci_ident_vci_session_text1(vci, i)),
                               _capi.string(lib.vci_ident_vci_session_text2(vci, i)),
                               _capi.string(lib.vci_ident_vci_session_address(vci, i)),
                               kind_name(lib.vci_ident_vci_session_kind(vci, i)),
                               bool(lib.vci_ident_vci_session_flag(vci, i)))
                       for i in range(lib.vci_ident_vci_session_count(vci))),
        wireless=wireless,
        bluetooth=bool(lib.vci_ident_vci_bluetooth(vci)),
        legacy=bool(lib.vci_ident_vci_legacy(vci)),
    )


def _table(table) -> Tuple[Vci, ...]:
    return tuple(_vci(lib.vci_ident_table_at(table, i)) for i in range(lib.vci_ident_table_count(table)))


def _bindings(bindings) -> Tuple[Binding, ...]:
    return tuple(Binding(_capi.string(lib.vci_ident_binding_vci_address(bindings, i)),
                         tuple(_capi.string(lib.vci_ident_binding_local_address(bindings, i, j))
                               for j in range(lib.vci_ident_binding_local_count(bindings, i))))
                 for i in range(lib.vci_ident_bindings_count(bindings)))


def _service(service) -> Service:
    version_number = lib.vci_ident_service_version_number(service)
    build_date = lib.vci_ident_service_build_date(service)
    return Service(lib.vci_ident_service_session_id(service), version_number, version_text(version_number),
                   _capi.text(lib.vci_ident_build_date_text, build_date),
                   lib.vci_ident_service_instance_token(service),
                   _capi.string(lib.vci_ident_service_product_name(service)))


def _copy(get, convert, free, client):
    handle = ctypes.c_void_p()
    _check(get(client, ctypes.byref(handle)))
    try:
        return convert(handle)
    finally:
        free(handle)


class Client:
    """A registration with the service, made by connect() (or a with block)
    and ended by disconnect(). The callbacks (on_table(table),
    on_bindings(bindings), on_error(code), on_lost(reason), on_back(service))
    run inside dispatch() and watch(); an exception of one comes out of the
    dispatch or the watch that ran it."""

    def __init__(self, client_name: str = "vci-ident-python", service_address: str = "127.0.0.1",
                 control_port: int = 8098, persist_log: Optional[bool] = None, reply_wait_ms: Optional[int] = None,
                 bluetooth_reply_wait_ms: Optional[int] = None, connect_pause_ms: Optional[int] = None,
                 retry_ms: Optional[Tuple[int, int]] = None,
                 on_table: Optional[Callable] = None, on_bindings: Optional[Callable] = None,
                 on_error: Optional[Callable] = None, on_lost: Optional[Callable] = None,
                 on_back: Optional[Callable] = None):
        self._handle = None
        self._callbacks = {"table": on_table, "bindings": on_bindings, "error": on_error, "lost": on_lost,
                           "back": on_back}
        self._events = collections.deque()
        self._watching = 0
        self._raised = None
        # Kept alive as long as the library may call them.
        self._trampolines = [
            _capi.TABLE_CALLBACK(lambda _c, table, _u: self._heard(Event("table", table=_table(table)), "table")),
            _capi.BINDINGS_CALLBACK(
                lambda _c, bindings, _u: self._heard(Event("bindings", bindings=_bindings(bindings)), "bindings")),
            _capi.ERROR_CALLBACK(
                lambda _c, code, _u: self._heard(Event("error", code=code, text=event_error_text(code)), "code")),
            _capi.LOST_CALLBACK(
                lambda _c, reason, _u: self._heard(Event("lost", code=reason, text=result_text(reason)), "code")),
            _capi.BACK_CALLBACK(
                lambda _c, service, _u: self._heard(Event("back", service=_service(service)), "service")),
        ]
        options = lib.vci_ident_options_new()
        if not options:
            raise Error(NO_RESOURCES)
        try:
            settings = [(lib.vci_ident_options_set_client_name, client_name.encode()),
                        (lib.vci_ident_options_set_service, service_address.encode(), control_port),
                        (lib.vci_ident_options_set_run_mode, _RUN_IN_LOOP)]
            # None states no wish: the trace setting other applications
            # asked for stays in force.
            for setter, value in [(lib.vci_ident_options_set_persist_log, persist_log),
                                  (lib.vci_ident_options_set_reply_wait_ms, reply_wait_ms),
                                  (lib.vci_ident_options_set_bluetooth_reply_wait_ms, bluetooth_reply_wait_ms),
                                  (lib.vci_ident_options_set_connect_pause_ms, connect_pause_ms)]:
                if value is not None:
                    settings.append((setter, value))
            if retry_ms is not None:
                settings.append((lib.vci_ident_options_set_retry_ms, *retry_ms))
            for on, trampoline in zip([lib.vci_ident_options_on_table, lib.vci_ident_options_on_bindings,
                                       lib.vci_ident_options_on_service_error,
                                       lib.vci_ident_options_on_service_lost,
                                       lib.vci_ident_options_on_service_back], self._trampolines):
                settings.append((on, trampoline, None))
            for setter, *arguments in settings:
                _check(setter(options, *arguments))
            handle = ctypes.c_void_p()
            _check(lib.vci_ident_new(ctypes.byref(handle), options))
            self._handle = handle
        finally:
            lib.vci_ident_options_free(options)

    def __del__(self):
        try:
            self.close()
        except Exception:  # the interpreter's exit may have taken the library's module already
            pass

    def close(self) -> None:
        """Disconnects when connected and frees the library's client."""
        if self._handle is not None:
            lib.vci_ident_free(self._handle)
            self._handle = None

    def __enter__(self) -> "Client":
        try:
            self.connect()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def connect(self) -> Service:
        """Registers; the service's answer. The first table and bindings are
        then in table() and bindings()."""
        _check(lib.vci_ident_connect(self._handle))
        return self.service()

    def disconnect(self) -> None:
        self._events.clear()
        _check(lib.vci_ident_disconnect(self._handle))

    @property
    def registered(self) -> bool:
        return bool(lib.vci_ident_is_registered(self._handle))

    def service(self) -> Service:
        return _copy(lib.vci_ident_get_service, _service, lib.vci_ident_service_free, self._handle)

    def table(self) -> Tuple[Vci, ...]:
        return _copy(lib.vci_ident_get_table, _table, lib.vci_ident_table_free, self._handle)

    def bindings(self) -> Tuple[Binding, ...]:
        return _copy(lib.vci_ident_get_bindings, _bindings, lib.vci_ident_bindings_free, self._handle)

    def fileno(self) -> int:
        """Readable while callbacks are due (dispatch() runs them)."""
        return lib.vci_ident_fd(self._handle)

    def dispatch(self) -> None:
        """Runs the callbacks that are due, on this thread."""
        _check(lib.vci_ident_dispatch(self._handle))
        raised, self._raised = self._raised, None
        if raised is not None:
            raise raised

    def watch(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """The events from now on, in order, as they come; the iteration ends
        when none came for timeout seconds (None: never)."""
        # poll, not select: an application may hold descriptors beyond
        # select's limit.
        ready = select.poll()
        ready.register(self.fileno(), select.POLLIN)
        self._watching += 1
        try:
            while True:
                if self._events:
                    yield self._events.popleft()
                    continue
                deadline = None if timeout is None else time.monotonic() + timeout
                while not self._events:
                    wait = None if deadline is None else max(0, int((deadline - time.monotonic()) * 1000))
                    if not ready.poll(wait):
                        return
                    self.dispatch()
        finally:
            self._watching -= 1
            if not self._watching:
                self._events.clear()

    def bluetooth(self, command: int, serial: int = 0) -> int:
        """A Bluetooth command's result code as the service answered it
        (bluetooth_result_text says it in words)."""
        return lib.vci_ident_bluetooth_command(self._handle, command, serial)

    def _bluetooth_or_raise(self, command: int, serial: int) -> None:
        code = self.bluetooth(command, serial)
        if code != 0:
            raise BluetoothError(command, code)

    def bt_connect(self, serial: int) -> None:
        self._bluetooth_or_raise(BT_CONNECT, serial)

    def bt_disconnect(self, serial: int) -> None:
        self._bluetooth_or_raise(BT_DISCONNECT, serial)

    def bt_scan(self) -> None:
        """Drops every Bluetooth connection and scans anew."""
        self._bluetooth_or_raise(BT_SCAN, 0)

    def bt_check(self, serial: int) -> bool:
        """True when the VCI is connected over Bluetooth; False when not (or
        Bluetooth is disabled, or the VCI is not known to it)."""
        code = self.bluetooth(BT_CHECK_CONNECT_STATE, serial)
        if code not in (0, FAILED):
            raise BluetoothError(BT_CHECK_CONNECT_STATE, code)
        return code == 0

    def fetch_data_files(self) -> Dict[str, bytes]:
        """The files of the service's data folder, name -> bytes (the files
        it could not read are left out). Needs no registration."""
        files = ctypes.c_void_p()
        unreadable = ctypes.c_uint32()
        _check(lib.vci_ident_fetch_data_files(self._handle, ctypes.byref(files), ctypes.byref(unreadable)))
        try:
            return {_capi.string(lib.vci_ident_files_name(files, i)):
                    ctypes.string_at(lib.vci_ident_files_data(files, i), lib.vci_ident_files_size(files, i))
                    for i in range(lib.vci_ident_files_count(files))}
        finally:
            lib.vci_ident_files_free(files)

    def _heard(self, event: Event, argument: str) -> None:
        # On the thread that dispatches; an exception must not unwind through
        # the library, it comes out of the dispatch.
        try:
            if self._watching:
                self._events.append(event)
            callback = self._callbacks[event.kind]
            if callback is not None:
                callback(getattr(event, argument))
        except BaseException as raised:
            if self._raised is None:
                self._raised = raised


def list_vcis(**options) -> Tuple[Vci, ...]:
    """The service's table: registers, reads the table and unregisters.
    The options are Client's."""
    with Client(**options) as client:
        return client.table()
