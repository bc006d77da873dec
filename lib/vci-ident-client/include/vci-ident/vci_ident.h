/* The C interface of the client library: an application's registration with
 * the VCI identification service on this PC, for C programs and for other
 * languages' foreign-function interfaces. It compiles as C99 and as C++, and
 * is the same library as the C++ interface (<vci-ident/IdentClient.h>): the
 * same registration, re-registration, result codes and texts.
 *
 *   vci_ident_client* client;
 *   if (vci_ident_new(&client, NULL) == 0 && vci_ident_connect(client) == 0) {
 *     vci_ident_table* table;
 *     vci_ident_get_table(client, &table);
 *     for (size_t i = 0; i < vci_ident_table_count(table); ++i)
 *       printf("%u\n", vci_ident_vci_serial(vci_ident_table_at(table, i)));
 *     vci_ident_table_free(table);
 *   }
 *   vci_ident_free(client);
 *
 * Handles are opaque and every value is read through a function, so that
 * later versions can add to them without breaking programs built against
 * this one. Every function that can fail returns a result code: 0 for
 * success, otherwise one of the codes below or a code the service or a
 * socket gave (vci_ident_result_text says each in words). Nothing is
 * thrown and nothing is written on the application's standard output.
 *
 * Callbacks run in one of two ways, chosen in the options:
 * - VCI_IDENT_RUN_ON_LIBRARY_THREAD (the default): on a thread of the
 *   library, one at a time, in the order the service sent the events. A
 *   callback must not disconnect or free its client.
 * - VCI_IDENT_RUN_IN_LOOP: inside the application's own loop. The descriptor
 *   of vci_ident_fd is readable while callbacks are due; vci_ident_dispatch
 *   runs them on the calling thread. A callback may disconnect its client
 *   (the calls still due are then dropped) but must not free it.
 * Every callback gets the userdata pointer given with it. The table,
 * bindings and service handed to a callback are valid during the call only.
 */
#ifndef VCI_IDENT_VCI_IDENT_H
#define VCI_IDENT_VCI_IDENT_H

#include <stddef.h>
#include <stdint.h>

#include "vci-ident/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes: 0 success; -1 the service's generic failure; 9216 to 9266
 * the control connection's socket errors (9237: the control port refuses,
 * the service is not running); 8705 to 8736 the event port's; the library's
 * own below; any other code the service passed on (a Bluetooth result). */
enum {
  VCI_IDENT_OK = 0,
  VCI_IDENT_FAILED = -1,
  VCI_IDENT_REFUSED = 9237,
  VCI_IDENT_NOT_REGISTERED = 40001,
  VCI_IDENT_ALREADY_REGISTERED = 40002,
  VCI_IDENT_BAD_REPLY = 40003,
  VCI_IDENT_BAD_ARGUMENT = 40004,
  VCI_IDENT_IN_CALLBACK = 40005,
  VCI_IDENT_START_FAILED = 40006,
  VCI_IDENT_EVENTS_CLOSED = 40007,
  VCI_IDENT_NO_RESOURCES = 40008
};

/* Bluetooth commands. */
enum { VCI_IDENT_BT_CONNECT = 1, VCI_IDENT_BT_DISCONNECT = 2, VCI_IDENT_BT_SCAN = 3, VCI_IDENT_BT_CHECK_CONNECT_STATE = 4 };

/* Error event codes of the interface monitor; any other code is a Bluetooth
 * error. */
enum { VCI_IDENT_EVENT_IF_ERROR_1 = 0x8004, VCI_IDENT_EVENT_IF_ERROR_4 = 0x8007 };

/* Interface kinds a VCI is heard on; a set of kinds is their OR. */
enum {
  VCI_IDENT_KIND_ETHERNET = 1,
  VCI_IDENT_KIND_USB = 2,
  VCI_IDENT_KIND_WIRELESS = 4,
  VCI_IDENT_KIND_LOCAL = 8,
  VCI_IDENT_KIND_BLUETOOTH = 16
};

/* The module state of a VCI that runs in recovery mode. */
enum { VCI_IDENT_MODULE_STATE_RECOVERY = 2 };

enum { VCI_IDENT_RUN_ON_LIBRARY_THREAD = 0, VCI_IDENT_RUN_IN_LOOP = 1 };

/* The software lists of a VCI. */
enum { VCI_IDENT_APPLICATIONS = 0, VCI_IDENT_APP_COMPONENTS = 1, VCI_IDENT_SYS_COMPONENTS = 2 };

/* The numbers of a VCI's wireless interface. */
enum {
  VCI_IDENT_WIRELESS_AP_STATE = 0,
  VCI_IDENT_WIRELESS_LINK_QUALITY = 1, /* zone */
  VCI_IDENT_WIRELESS_LINK_QUALITY_RAW = 2,
  VCI_IDENT_WIRELESS_SIGNAL_LEVEL = 3,
  VCI_IDENT_WIRELESS_NOISE_LEVEL = 4
};

/* A buffer of this size holds every text of the functions below whole (the
 * longest, every kind bit named, is 360 bytes). */
#define VCI_IDENT_TEXT_MAX 512

typedef struct vci_ident_options vci_ident_options;
typedef struct vci_ident_client vci_ident_client;
typedef struct vci_ident_service vci_ident_service;
typedef struct vci_ident_table vci_ident_table;
typedef struct vci_ident_vci vci_ident_vci;
typedef struct vci_ident_bindings vci_ident_bindings;
typedef struct vci_ident_files vci_ident_files;

/* ---- Words for values. Each writes the text, cut to fit and terminated,
 * into text (size bytes; nothing when size is 0) and returns its whole
 * length, as snprintf does. */

/* A result code, e.g. "the service does not answer (its control port
 * refuses the connection)". */
VCI_IDENT_API size_t vci_ident_result_text(int result, char* text, size_t size);
/* An error event's code. */
VCI_IDENT_API size_t vci_ident_event_error_text(uint32_t code, char* text, size_t size);
/* "connect", "disconnect", "scan", "check"; "" for another code. */
VCI_IDENT_API size_t vci_ident_bluetooth_command_name(uint32_t command, char* text, size_t size);
/* A Bluetooth command's result, e.g. "connected". */
VCI_IDENT_API size_t vci_ident_bluetooth_result_text(uint32_t command, int result, char* text, size_t size);
/* 0x00010000 -> "1.0.0". */
VCI_IDENT_API size_t vci_ident_version_text(uint32_t version_number, char* text, size_t size);
/* The service's build date, "2026-12-06", or "unknown". */
VCI_IDENT_API size_t vci_ident_build_date_text(uint32_t build_date, char* text, size_t size);
/* "Ethernet", "USB", "Wireless", "Local", "Bluetooth" for one kind bit. */
VCI_IDENT_API size_t vci_ident_kind_name(uint32_t kind, char* text, size_t size);
/* The names of the kind bits set, joined with "+"; "none" for 0. */
VCI_IDENT_API size_t vci_ident_kinds_text(uint32_t kinds, char* text, size_t size);

/* ---- Options of a client, copied by vci_ident_new. A setter returns
 * VCI_IDENT_BAD_ARGUMENT for a null options or text. */

/* Defaults: client name "vci-ident-client", the service at 127.0.0.1 port
 * 8098, the event port chosen by the system, the library's thread, no
 * callbacks. NULL when out of memory. */
VCI_IDENT_API vci_ident_options* vci_ident_options_new(void);
VCI_IDENT_API void vci_ident_options_free(vci_ident_options* options);
/* Names the application in the service's log lines. */
VCI_IDENT_API int vci_ident_options_set_client_name(vci_ident_options* options, const char* name);
/* The service's address (one of this PC's) and control port; the event port
 * listens on the same address. */
VCI_IDENT_API int vci_ident_options_set_service(vci_ident_options* options, const char* address, uint16_t control_port);
/* 0: a port the system chooses. */
VCI_IDENT_API int vci_ident_options_set_event_port(vci_ident_options* options, uint16_t port);
/* Not 0: the service keeps its trace file while this application is
 * registered (the latest registration's wish holds); 0: it writes none.
 * Without this call the registrations state no wish, and the setting that
 * other applications asked for stays in force. */
VCI_IDENT_API int vci_ident_options_set_persist_log(vci_ident_options* options, int persist);
/* Not 0: the service waits for each acknowledgement without time limit. */
VCI_IDENT_API int vci_ident_options_set_no_reply_timeout(vci_ident_options* options, int no_timeout);
/* The least wait for a reply of the service (10000 ms); a fresh service
 * answers its first registration only after 2000 ms. */
VCI_IDENT_API int vci_ident_options_set_reply_wait_ms(vci_ident_options* options, uint32_t ms);
/* The wait for a Bluetooth command's reply; 0 (the default): computed from
 * the service's ident.ini, about 85 s with its defaults. */
VCI_IDENT_API int vci_ident_options_set_bluetooth_reply_wait_ms(vci_ident_options* options, uint32_t ms);
/* The pause before each of the last connect calls to a control port that
 * refuses (250 ms). */
VCI_IDENT_API int vci_ident_options_set_connect_pause_ms(vci_ident_options* options, uint32_t ms);
/* The pauses between registrations while the service is away: the first,
 * doubled after each failure up to the last (500 ms, 8000 ms). */
VCI_IDENT_API int vci_ident_options_set_retry_ms(vci_ident_options* options, uint32_t first_ms, uint32_t last_ms);
/* The service program to start when its control port refuses the
 * connection, its arguments (a NULL-terminated array; NULL for none), and
 * how long a connect then tries (10000 ms). A NULL program: never started
 * (the default). */
VCI_IDENT_API int vci_ident_options_set_service_program(vci_ident_options* options, const char* program,
                                                        const char* const* arguments, uint32_t start_wait_ms);
/* VCI_IDENT_RUN_ON_LIBRARY_THREAD or VCI_IDENT_RUN_IN_LOOP. */
VCI_IDENT_API int vci_ident_options_set_run_mode(vci_ident_options* options, int mode);

/* The callbacks; a NULL callback is not called. */
typedef void (*vci_ident_table_callback)(vci_ident_client* client, const vci_ident_table* table, void* userdata);
typedef void (*vci_ident_bindings_callback)(vci_ident_client* client, const vci_ident_bindings* bindings,
                                            void* userdata);
typedef void (*vci_ident_error_callback)(vci_ident_client* client, uint32_t code, void* userdata);
typedef void (*vci_ident_lost_callback)(vci_ident_client* client, int reason, void* userdata);
typedef void (*vci_ident_back_callback)(vci_ident_client* client, const vci_ident_service* service, void* userdata);

/* The whole table, after a VCI appeared, went, or changed. In the loop, the
 * changes that waited together for a dispatch come as one, with the newest
 * table. */
VCI_IDENT_API int vci_ident_options_on_table(vci_ident_options* options, vci_ident_table_callback callback,
                                             void* userdata);
/* All bindings, after one was made or dropped (merged as the table is). */
VCI_IDENT_API int vci_ident_options_on_bindings(vci_ident_options* options, vci_ident_bindings_callback callback,
                                                void* userdata);
/* An error the service reports (vci_ident_event_error_text). */
VCI_IDENT_API int vci_ident_options_on_service_error(vci_ident_options* options, vci_ident_error_callback callback,
                                                     void* userdata);
/* The service went away (reason: a result code); the library registers again
 * on its own once the service answers. */
VCI_IDENT_API int vci_ident_options_on_service_lost(vci_ident_options* options, vci_ident_lost_callback callback,
                                                    void* userdata);
/* Registered again after a loss; the new registration's table and bindings
 * follow. */
VCI_IDENT_API int vci_ident_options_on_service_back(vci_ident_options* options, vci_ident_back_callback callback,
                                                    void* userdata);

/* ---- The client. Its functions may be called from any thread; connect,
 * disconnect and dispatch of one client belong on one thread in the loop. */

/* A client with a copy of the options (NULL: the defaults), not connected. */
VCI_IDENT_API int vci_ident_new(vci_ident_client** client, const vci_ident_options* options);
/* Disconnects when still connected, then frees. NULL is ignored. */
VCI_IDENT_API void vci_ident_free(vci_ident_client* client);
/* Opens the event port and registers; the first table and bindings are then
 * in vci_ident_get_table and vci_ident_get_bindings.
 * VCI_IDENT_ALREADY_REGISTERED when connected already. */
VCI_IDENT_API int vci_ident_connect(vci_ident_client* client);
/* Unregisters (when registered), stops registering again and closes the
 * event port; no callback comes after it returns. VCI_IDENT_NOT_REGISTERED
 * when not connected; VCI_IDENT_IN_CALLBACK from a callback on the library's
 * thread. */
VCI_IDENT_API int vci_ident_disconnect(vci_ident_client* client);
/* 1 while registered (0 while the service is away). */
VCI_IDENT_API int vci_ident_is_registered(const vci_ident_client* client);
/* The port the service sends events to; 0 when not connected. */
VCI_IDENT_API uint16_t vci_ident_event_port(const vci_ident_client* client);
/* The Bluetooth reply wait in force (ms). */
VCI_IDENT_API uint32_t vci_ident_bluetooth_reply_wait_ms(const vci_ident_client* client);

/* In the loop: the descriptor to poll for reading, the client's for its
 * whole life (the application never reads or closes it); -1 on the
 * library's thread. */
VCI_IDENT_API int vci_ident_fd(const vci_ident_client* client);
/* In the loop: runs the callbacks due when it is called, on the calling
 * thread; the descriptor stays readable while more are due.
 * VCI_IDENT_BAD_ARGUMENT on the library's thread. */
VCI_IDENT_API int vci_ident_dispatch(vci_ident_client* client);

/* Copies for the caller, each freed with its own function. */
/* The answer of the current (or last) registration. */
VCI_IDENT_API int vci_ident_get_service(const vci_ident_client* client, vci_ident_service** service);
VCI_IDENT_API int vci_ident_get_table(const vci_ident_client* client, vci_ident_table** table);
VCI_IDENT_API int vci_ident_get_bindings(const vci_ident_client* client, vci_ident_bindings** bindings);

/* A Bluetooth command for the VCI with that serial number (VCI_IDENT_BT_SCAN
 * ignores it): the service's result (vci_ident_bluetooth_result_text), -1
 * when Bluetooth is disabled. Waits up to the Bluetooth reply wait. */
VCI_IDENT_API int vci_ident_bluetooth_command(vci_ident_client* client, uint32_t command, uint32_t serial);
/* The files of the service's data folder, by name; files the service could
 * not read are left out and counted in unreadable (may be NULL). Needs no
 * registration. */
VCI_IDENT_API int vci_ident_fetch_data_files(vci_ident_client* client, vci_ident_files** files,
                                             uint32_t* unreadable);

/* ---- The service as it answered the registration. */
VCI_IDENT_API void vci_ident_service_free(vci_ident_service* service);
VCI_IDENT_API uint32_t vci_ident_service_session_id(const vci_ident_service* service);
/* One byte per part of the product version (vci_ident_version_text). */
VCI_IDENT_API uint32_t vci_ident_service_version_number(const vci_ident_service* service);
/* vci_ident_build_date_text. */
VCI_IDENT_API uint32_t vci_ident_service_build_date(const vci_ident_service* service);
/* Changes when the service restarts or when its last client leaves. */
VCI_IDENT_API uint32_t vci_ident_service_instance_token(const vci_ident_service* service);
VCI_IDENT_API const char* vci_ident_service_product_name(const vci_ident_service* service);

/* ---- The VCI table. A VCI and its texts live as long as their table. An
 * index out of range gives NULL, "" or 0. */
VCI_IDENT_API void vci_ident_table_free(vci_ident_table* table);
VCI_IDENT_API size_t vci_ident_table_count(const vci_ident_table* table);
VCI_IDENT_API const vci_ident_vci* vci_ident_table_at(const vci_ident_table* table, size_t index);
/* The VCI of that serial number; NULL when the table has none. */
VCI_IDENT_API const vci_ident_vci* vci_ident_table_find(const vci_ident_table* table, uint32_t serial);

VCI_IDENT_API uint32_t vci_ident_vci_serial(const vci_ident_vci* vci);
VCI_IDENT_API uint32_t vci_ident_vci_module_state(const vci_ident_vci* vci);
VCI_IDENT_API uint32_t vci_ident_vci_module_type(const vci_ident_vci* vci);
/* The kinds the VCI is heard on now, and its address on each (in kind
 * order). */
VCI_IDENT_API uint32_t vci_ident_vci_kinds(const vci_ident_vci* vci);
VCI_IDENT_API size_t vci_ident_vci_address_count(const vci_ident_vci* vci);
VCI_IDENT_API uint32_t vci_ident_vci_address_kind(const vci_ident_vci* vci, size_t index);
VCI_IDENT_API const char* vci_ident_vci_address(const vci_ident_vci* vci, size_t index);
/* As the VCI reports them; "" while not known. */
VCI_IDENT_API const char* vci_ident_vci_product_version(const vci_ident_vci* vci);
VCI_IDENT_API const char* vci_ident_vci_product_date(const vci_ident_vci* vci);
/* Applications and components (list: VCI_IDENT_APPLICATIONS ...). */
VCI_IDENT_API size_t vci_ident_vci_software_count(const vci_ident_vci* vci, int list);
VCI_IDENT_API const char* vci_ident_vci_software_name(const vci_ident_vci* vci, int list, size_t index);
VCI_IDENT_API const char* vci_ident_vci_software_version(const vci_ident_vci* vci, int list, size_t index);
/* Sessions open on the VCI, as it last announced them. */
VCI_IDENT_API size_t vci_ident_vci_session_count(const vci_ident_vci* vci);
VCI_IDENT_API uint32_t vci_ident_vci_session_number(const vci_ident_vci* vci, size_t index);
VCI_IDENT_API const char* vci_ident_vci_session_text1(const vci_ident_vci* vci, size_t index);
VCI_IDENT_API const char* vci_ident_vci_session_text2(const vci_ident_vci* vci, size_t index);
VCI_IDENT_API const char* vci_ident_vci_session_address(const vci_ident_vci* vci, size_t index);
VCI_IDENT_API uint32_t vci_ident_vci_session_kind(const vci_ident_vci* vci, size_t index);
VCI_IDENT_API int vci_ident_vci_session_flag(const vci_ident_vci* vci, size_t index);
/* 1 when the VCI reported its wireless interface, 1 when it is enabled; the
 * numbers (VCI_IDENT_WIRELESS_...) count only when enabled. */
VCI_IDENT_API int vci_ident_vci_wireless_reported(const vci_ident_vci* vci);
VCI_IDENT_API int vci_ident_vci_wireless_enabled(const vci_ident_vci* vci);
VCI_IDENT_API int32_t vci_ident_vci_wireless_value(const vci_ident_vci* vci, int value);
/* 1: also known to the Bluetooth discovery. */
VCI_IDENT_API int vci_ident_vci_bluetooth(const vci_ident_vci* vci);
/* 1: announced with the legacy format or no device token. */
VCI_IDENT_API int vci_ident_vci_legacy(const vci_ident_vci* vci);

/* ---- The bindings: per VCI address, the local addresses through which it
 * answered, the one in use first. */
VCI_IDENT_API void vci_ident_bindings_free(vci_ident_bindings* bindings);
VCI_IDENT_API size_t vci_ident_bindings_count(const vci_ident_bindings* bindings);
VCI_IDENT_API const char* vci_ident_binding_vci_address(const vci_ident_bindings* bindings, size_t index);
VCI_IDENT_API size_t vci_ident_binding_local_count(const vci_ident_bindings* bindings, size_t index);
VCI_IDENT_API const char* vci_ident_binding_local_address(const vci_ident_bindings* bindings, size_t index,
                                                          size_t local);

/* ---- Data files, in name order. */
VCI_IDENT_API void vci_ident_files_free(vci_ident_files* files);
VCI_IDENT_API size_t vci_ident_files_count(const vci_ident_files* files);
VCI_IDENT_API const char* vci_ident_files_name(const vci_ident_files* files, size_t index);
VCI_IDENT_API size_t vci_ident_files_size(const vci_ident_files* files, size_t index);
VCI_IDENT_API const uint8_t* vci_ident_files_data(const vci_ident_files* files, size_t index);

#ifdef __cplusplus
}
#endif

#endif /* VCI_IDENT_VCI_IDENT_H */
