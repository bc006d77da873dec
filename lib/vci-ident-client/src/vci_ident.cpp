// The C interface: thin functions over the C++ one. Each handle is the
// library's own value behind an incomplete type; no exception leaves a
// function, a failure is a result code.
#include "vci-ident/vci_ident.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "IdentClientHandle.h"
#include "vci-ident/IdentResult.h"

using namespace vciident;

// The C names of the C++ interface's numbers.
static_assert(+VCI_IDENT_FAILED == +RESULT_FAILED && +VCI_IDENT_REFUSED == +RESULT_REFUSED &&
                  +VCI_IDENT_NOT_REGISTERED == +RESULT_NOT_REGISTERED &&
                  +VCI_IDENT_ALREADY_REGISTERED == +RESULT_ALREADY_REGISTERED &&
                  +VCI_IDENT_BAD_REPLY == +RESULT_BAD_REPLY && +VCI_IDENT_BAD_ARGUMENT == +RESULT_BAD_ARGUMENT &&
                  +VCI_IDENT_IN_CALLBACK == +RESULT_IN_CALLBACK && +VCI_IDENT_START_FAILED == +RESULT_START_FAILED &&
                  +VCI_IDENT_EVENTS_CLOSED == +RESULT_EVENTS_CLOSED && +VCI_IDENT_NO_RESOURCES == +RESULT_NO_RESOURCES,
              "result codes");
static_assert(+VCI_IDENT_BT_CONNECT == +BT_CONNECT && +VCI_IDENT_BT_DISCONNECT == +BT_DISCONNECT &&
                  +VCI_IDENT_BT_SCAN == +BT_SCAN && +VCI_IDENT_BT_CHECK_CONNECT_STATE == +BT_CHECK_CONNECT_STATE &&
                  +VCI_IDENT_EVENT_IF_ERROR_1 == +EVENT_IF_ERROR_1 && +VCI_IDENT_EVENT_IF_ERROR_4 == +EVENT_IF_ERROR_4,
              "commands and events");
static_assert(VCI_IDENT_KIND_ETHERNET == KIND_ETHERNET && VCI_IDENT_KIND_USB == KIND_USB &&
                  VCI_IDENT_KIND_WIRELESS == KIND_WIRELESS && VCI_IDENT_KIND_LOCAL == KIND_LOCAL &&
                  VCI_IDENT_KIND_BLUETOOTH == KIND_BLUETOOTH &&
                  VCI_IDENT_MODULE_STATE_RECOVERY == MODULE_STATE_RECOVERY,
              "kinds and states");

// What the options handle is.
struct vci_ident_options : CIdentClientHandle::Options {};

namespace {

typedef std::vector<std::pair<std::string, std::vector<uint8_t>>> FileList;

// The value behind a handle; a null handle reads as an empty value, so that
// a reader never dereferences null.
template <class T, class H>
const T& Of(const H* handle) {
  static const T empty{};
  return handle != nullptr ? *reinterpret_cast<const T*>(handle) : empty;
}
template <class H, class T>
H* HandleOf(T* value) {
  return reinterpret_cast<H*>(value);
}
template <class T>
const T& At(const std::vector<T>& values, size_t index) {
  static const T empty{};
  return index < values.size() ? values[index] : empty;
}

CIdentClientHandle* Client(vci_ident_client* client) { return reinterpret_cast<CIdentClientHandle*>(client); }
const CIdentClientHandle& Client(const vci_ident_client* client) {
  return *reinterpret_cast<const CIdentClientHandle*>(client);
}

// Runs f, whose result it returns; an exception (memory or a thread the
// system refused) is RESULT_NO_RESOURCES.
template <class F>
int Guarded(F f) {
  try {
    return f();
  } catch (...) {
    return RESULT_NO_RESOURCES;
  }
}

// snprintf's contract for a text that make builds.
template <class F>
size_t Text(char* text, size_t size, F make) {
  try {
    const std::string value = make();
    if (text != nullptr && size > 0) {
      const size_t n = std::min(value.size(), size - 1);
      std::memcpy(text, value.data(), n);
      text[n] = '\0';
    }
    return value.size();
  } catch (...) {
    if (text != nullptr && size > 0) text[0] = '\0';
    return 0;
  }
}

// A copy for the caller behind a handle of type H.
template <class H, class T, class F>
int Copy(H** out, F get) {
  if (out == nullptr) return RESULT_BAD_ARGUMENT;
  *out = nullptr;
  return Guarded([&] {
    *out = HandleOf<H>(new T(get()));
    return 0;
  });
}

template <class F>
int SetOption(vci_ident_options* options, F set) {
  if (options == nullptr) return RESULT_BAD_ARGUMENT;
  return Guarded([&] {
    set(*options);
    return 0;
  });
}
template <class F>
int SetText(vci_ident_options* options, const char* text, F set) {
  return text == nullptr ? RESULT_BAD_ARGUMENT : SetOption(options, set);
}

const std::vector<VciSoftware>& Software(const VciInfo& vci, int list) {
  static const std::vector<VciSoftware> none;
  switch (list) {
    case VCI_IDENT_APPLICATIONS: return vci.applications;
    case VCI_IDENT_APP_COMPONENTS: return vci.appComponents;
    case VCI_IDENT_SYS_COMPONENTS: return vci.sysComponents;
    default: return none;
  }
}

const VciInfo& Vci(const vci_ident_vci* vci) { return Of<VciInfo>(vci); }
const VciSession& Session(const vci_ident_vci* vci, size_t index) { return At(Vci(vci).sessions, index); }
const VciBinding& Binding(const vci_ident_bindings* bindings, size_t index) {
  return At(Of<std::vector<VciBinding>>(bindings), index);
}
const FileList::value_type& File(const vci_ident_files* files, size_t index) {
  return At(Of<FileList>(files), index);
}

}  // namespace

extern "C" {

size_t vci_ident_result_text(int result, char* text, size_t size) {
  return Text(text, size, [&] { return ResultText(result); });
}
size_t vci_ident_event_error_text(uint32_t code, char* text, size_t size) {
  return Text(text, size, [&] { return EventErrorText(code); });
}
size_t vci_ident_bluetooth_command_name(uint32_t command, char* text, size_t size) {
  return Text(text, size, [&] { return BluetoothCommandName(command); });
}
size_t vci_ident_bluetooth_result_text(uint32_t command, int result, char* text, size_t size) {
  return Text(text, size, [&] { return BluetoothResultText(command, result); });
}
size_t vci_ident_version_text(uint32_t version_number, char* text, size_t size) {
  return Text(text, size, [&] { return VersionText(version_number); });
}
size_t vci_ident_build_date_text(uint32_t build_date, char* text, size_t size) {
  return Text(text, size, [&] { return BuildDateText(build_date); });
}
size_t vci_ident_kind_name(uint32_t kind, char* text, size_t size) {
  return Text(text, size, [&] { return KindName(kind); });
}
size_t vci_ident_kinds_text(uint32_t kinds, char* text, size_t size) {
  return Text(text, size, [&] { return KindsText(kinds); });
}

vci_ident_options* vci_ident_options_new(void) { return new (std::nothrow) vci_ident_options(); }
void vci_ident_options_free(vci_ident_options* options) { delete options; }
int vci_ident_options_set_client_name(vci_ident_options* options, const char* name) {
  return SetText(options, name, [&](vci_ident_options& o) { o.client.clientName = name; });
}
int vci_ident_options_set_service(vci_ident_options* options, const char* address, uint16_t control_port) {
  return SetText(options, address, [&](vci_ident_options& o) {
    o.client.serviceAddress = address;
    o.client.controlPort = control_port;
  });
}
int vci_ident_options_set_event_port(vci_ident_options* options, uint16_t port) {
  return SetOption(options, [&](vci_ident_options& o) { o.client.eventPort = port; });
}
int vci_ident_options_set_persist_log(vci_ident_options* options, int persist) {
  return SetOption(options, [&](vci_ident_options& o) { 
    o.client.persistLog = persist != 0;
    o.persistWish = true;
  });
}
int vci_ident_options_set_no_reply_timeout(vci_ident_options* options, int no_timeout) {
  return SetOption(options, [&](vci_ident_options& o) { o.client.noReplyTimeout = no_timeout != 0; });
}
int vci_ident_options_set_reply_wait_ms(vci_ident_options* options, uint32_t ms) {
  return SetOption(options, [&](vci_ident_options& o) { o.client.replyWaitMs = ms; });
}
int vci_ident_options_set_bluetooth_reply_wait_ms(vci_ident_options* options, uint32_t ms) {
  return SetOption(options, [&](vci_ident_options& o) { o.client.bluetoothReplyWaitMs = ms; });
}
int vci_ident_options_set_connect_pause_ms(vci_ident_options* options, uint32_t ms) {
  return SetOption(options, [&](vci_ident_options& o) { o.client.connectPauseMs = ms; });
}
int vci_ident_options_set_retry_ms(vci_ident_options* options, uint32_t first_ms, uint32_t last_ms) {
  return SetOption(options, [&](vci_ident_options& o) {
    o.client.retryFirstMs = first_ms;
    o.client.retryLastMs = last_ms;
  });
}
int vci_ident_options_set_service_program(vci_ident_options* options, const char* program,
                                          const char* const* arguments, uint32_t start_wait_ms) {
  return SetOption(options, [&](vci_ident_options& o) {
    o.client.serviceProgram = program != nullptr ? program : "";
    o.client.serviceArguments.clear();
    for (; arguments != nullptr && *arguments != nullptr; ++arguments) o.client.serviceArguments.push_back(*arguments);
    o.client.serviceStartWaitMs = start_wait_ms;
  });
}
int vci_ident_options_set_run_mode(vci_ident_options* options, int mode) {
  if (mode != VCI_IDENT_RUN_ON_LIBRARY_THREAD && mode != VCI_IDENT_RUN_IN_LOOP) return RESULT_BAD_ARGUMENT;
  return SetOption(options, [&](vci_ident_options& o) { o.runMode = mode; });
}
int vci_ident_options_on_table(vci_ident_options* options, vci_ident_table_callback callback, void* userdata) {
  return SetOption(options, [&](vci_ident_options& o) { o.onTable = {callback, userdata}; });
}
int vci_ident_options_on_bindings(vci_ident_options* options, vci_ident_bindings_callback callback, void* userdata) {
  return SetOption(options, [&](vci_ident_options& o) { o.onBindings = {callback, userdata}; });
}
int vci_ident_options_on_service_error(vci_ident_options* options, vci_ident_error_callback callback,
                                       void* userdata) {
  return SetOption(options, [&](vci_ident_options& o) { o.onError = {callback, userdata}; });
}
int vci_ident_options_on_service_lost(vci_ident_options* options, vci_ident_lost_callback callback, void* userdata) {
  return SetOption(options, [&](vci_ident_options& o) { o.onLost = {callback, userdata}; });
}
int vci_ident_options_on_service_back(vci_ident_options* options, vci_ident_back_callback callback, void* userdata) {
  return SetOption(options, [&](vci_ident_options& o) { o.onBack = {callback, userdata}; });
}

int vci_ident_new(vci_ident_client** client, const vci_ident_options* options) {
  if (client == nullptr) return RESULT_BAD_ARGUMENT;
  *client = nullptr;
  return Guarded([&] {
    std::unique_ptr<CIdentClientHandle> handle(
        new CIdentClientHandle(options != nullptr ? *options : vci_ident_options()));
    if (handle->Open() != 0) return static_cast<int>(RESULT_NO_RESOURCES);
    *client = HandleOf<vci_ident_client>(handle.release());
    return 0;
  });
}
void vci_ident_free(vci_ident_client* client) { delete Client(client); }

int vci_ident_connect(vci_ident_client* client) {
  return client == nullptr ? RESULT_BAD_ARGUMENT : Guarded([&] { return Client(client)->Connect(); });
}
int vci_ident_disconnect(vci_ident_client* client) {
  return client == nullptr ? RESULT_BAD_ARGUMENT : Guarded([&] { return Client(client)->Disconnect(); });
}
int vci_ident_is_registered(const vci_ident_client* client) {
  return client != nullptr && Client(client).Client().IsRegistered() ? 1 : 0;
}
uint16_t vci_ident_event_port(const vci_ident_client* client) {
  return client != nullptr ? Client(client).Client().GetEventPort() : 0;
}
uint32_t vci_ident_bluetooth_reply_wait_ms(const vci_ident_client* client) {
  return client != nullptr ? Client(client).Client().GetBluetoothReplyWaitMs() : 0;
}
int vci_ident_fd(const vci_ident_client* client) { return client != nullptr ? Client(client).Fd() : -1; }
int vci_ident_dispatch(vci_ident_client* client) {
  return client == nullptr ? RESULT_BAD_ARGUMENT : Guarded([&] { return Client(client)->Dispatch(); });
}

int vci_ident_get_service(const vci_ident_client* client, vci_ident_service** service) {
  if (client == nullptr) return RESULT_BAD_ARGUMENT;
  return Copy<vci_ident_service, ServiceInfo>(service, [&] { return Client(client).Client().GetServiceInfo(); });
}
int vci_ident_get_table(const vci_ident_client* client, vci_ident_table** table) {
  if (client == nullptr) return RESULT_BAD_ARGUMENT;
  return Copy<vci_ident_table, std::vector<VciInfo>>(table, [&] { return Client(client).Client().GetTable(); });
}
int vci_ident_get_bindings(const vci_ident_client* client, vci_ident_bindings** bindings) {
  if (client == nullptr) return RESULT_BAD_ARGUMENT;
  return Copy<vci_ident_bindings, std::vector<VciBinding>>(bindings,
                                                           [&] { return Client(client).Client().GetBindings(); });
}

int vci_ident_bluetooth_command(vci_ident_client* client, uint32_t command, uint32_t serial) {
  return client == nullptr ? RESULT_BAD_ARGUMENT
                           : Guarded([&] { return Client(client)->Client().BluetoothCommand(command, serial); });
}
int vci_ident_fetch_data_files(vci_ident_client* client, vci_ident_files** files, uint32_t* unreadable) {
  if (client == nullptr || files == nullptr) return RESULT_BAD_ARGUMENT;
  *files = nullptr;
  return Guarded([&] {
    std::map<std::string, std::vector<uint8_t>> byName;
    const int iRet = Client(client)->Client().FetchDataFiles(byName, unreadable);
    if (iRet != 0) return iRet;
    std::unique_ptr<FileList> list(new FileList());
    for (auto& file : byName) list->emplace_back(file.first, std::move(file.second));
    *files = HandleOf<vci_ident_files>(list.release());
    return 0;
  });
}

void vci_ident_service_free(vci_ident_service* service) { delete reinterpret_cast<ServiceInfo*>(service); }
uint32_t vci_ident_service_session_id(const vci_ident_service* service) {
  return Of<ServiceInfo>(service).sessionId;
}
uint32_t vci_ident_service_version_number(const vci_ident_service* service) {
  return Of<ServiceInfo>(service).versionNumber;
}
uint32_t vci_ident_service_build_date(const vci_ident_service* service) {
  return Of<ServiceInfo>(service).buildDate;
}
uint32_t vci_ident_service_instance_token(const vci_ident_service* service) {
  return Of<ServiceInfo>(service).instanceToken;
}
const char* vci_ident_service_product_name(const vci_ident_service* service) {
  return Of<ServiceInfo>(service).productName.c_str();
}

void vci_ident_table_free(vci_ident_table* table) { delete reinterpret_cast<std::vector<VciInfo>*>(table); }
size_t vci_ident_table_count(const vci_ident_table* table) { return Of<std::vector<VciInfo>>(table).size(); }
const vci_ident_vci* vci_ident_table_at(const vci_ident_table* table, size_t index) {
  const std::vector<VciInfo>& vcis = Of<std::vector<VciInfo>>(table);
  return index < vcis.size() ? HandleOf<const vci_ident_vci>(&vcis[index]) : nullptr;
}
const vci_ident_vci* vci_ident_table_find(const vci_ident_table* table, uint32_t serial) {
  for (const VciInfo& vci : Of<std::vector<VciInfo>>(table))
    if (vci.serial == serial) return HandleOf<const vci_ident_vci>(&vci);
  return nullptr;
}

uint32_t vci_ident_vci_serial(const vci_ident_vci* vci) { return Vci(vci).serial; }
uint32_t vci_ident_vci_module_state(const vci_ident_vci* vci) { return Vci(vci).moduleState; }
uint32_t vci_ident_vci_module_type(const vci_ident_vci* vci) { return Vci(vci).moduleType; }
uint32_t vci_ident_vci_kinds(const vci_ident_vci* vci) { return Vci(vci).kinds; }
size_t vci_ident_vci_address_count(const vci_ident_vci* vci) { return Vci(vci).addresses.size(); }
uint32_t vci_ident_vci_address_kind(const vci_ident_vci* vci, size_t index) {
  return At(Vci(vci).addresses, index).kind;
}
const char* vci_ident_vci_address(const vci_ident_vci* vci, size_t index) {
  return At(Vci(vci).addresses, index).address.c_str();
}
const char* vci_ident_vci_product_version(const vci_ident_vci* vci) { return Vci(vci).productVersion.c_str(); }
const char* vci_ident_vci_product_date(const vci_ident_vci* vci) { return Vci(vci).productDate.c_str(); }
size_t vci_ident_vci_software_count(const vci_ident_vci* vci, int list) { return Software(Vci(vci), list).size(); }
const char* vci_ident_vci_software_name(const vci_ident_vci* vci, int list, size_t index) {
  return At(Software(Vci(vci), list), index).name.c_str();
}
const char* vci_ident_vci_software_version(const vci_ident_vci* vci, int list, size_t index) {
  return At(Software(Vci(vci), list), index).version.c_str();
}
size_t vci_ident_vci_session_count(const vci_ident_vci* vci) { return Vci(vci).sessions.size(); }
uint32_t vci_ident_vci_session_number(const vci_ident_vci* vci, size_t index) { return Session(vci, index).number; }
const char* vci_ident_vci_session_text1(const vci_ident_vci* vci, size_t index) {
  return Session(vci, index).text1.c_str();
}
const char* vci_ident_vci_session_text2(const vci_ident_vci* vci, size_t index) {
  return Session(vci, index).text2.c_str();
}
const char* vci_ident_vci_session_address(const vci_ident_vci* vci, size_t index) {
  return Session(vci, index).address.c_str();
}
uint32_t vci_ident_vci_session_kind(const vci_ident_vci* vci, size_t index) { return Session(vci, index).kind; }
int vci_ident_vci_session_flag(const vci_ident_vci* vci, size_t index) { return Session(vci, index).flag ? 1 : 0; }
int vci_ident_vci_wireless_reported(const vci_ident_vci* vci) { return Vci(vci).wireless.reported ? 1 : 0; }
int vci_ident_vci_wireless_enabled(const vci_ident_vci* vci) { return Vci(vci).wireless.enabled ? 1 : 0; }
int32_t vci_ident_vci_wireless_value(const vci_ident_vci* vci, int value) {
  const VciWireless& wireless = Vci(vci).wireless;
  switch (value) {
    case VCI_IDENT_WIRELESS_AP_STATE: return wireless.apState;
    case VCI_IDENT_WIRELESS_LINK_QUALITY: return wireless.linkQuality;
    case VCI_IDENT_WIRELESS_LINK_QUALITY_RAW: return wireless.linkQualityRaw;
    case VCI_IDENT_WIRELESS_SIGNAL_LEVEL: return wireless.signalLevel;
    case VCI_IDENT_WIRELESS_NOISE_LEVEL: return wireless.noiseLevel;
    default: return 0;
  }
}
int vci_ident_vci_bluetooth(const vci_ident_vci* vci) { return Vci(vci).bluetooth ? 1 : 0; }
int vci_ident_vci_legacy(const vci_ident_vci* vci) { return Vci(vci).legacy ? 1 : 0; }

void vci_ident_bindings_free(vci_ident_bindings* bindings) {
  delete reinterpret_cast<std::vector<VciBinding>*>(bindings);
}
size_t vci_ident_bindings_count(const vci_ident_bindings* bindings) {
  return Of<std::vector<VciBinding>>(bindings).size();
}
const char* vci_ident_binding_vci_address(const vci_ident_bindings* bindings, size_t index) {
  return Binding(bindings, index).vciAddress.c_str();
}
size_t vci_ident_binding_local_count(const vci_ident_bindings* bindings, size_t index) {
  return Binding(bindings, index).localAddresses.size();
}
const char* vci_ident_binding_local_address(const vci_ident_bindings* bindings, size_t index, size_t local) {
  return At(Binding(bindings, index).localAddresses, local).c_str();
}

void vci_ident_files_free(vci_ident_files* files) { delete reinterpret_cast<FileList*>(files); }
size_t vci_ident_files_count(const vci_ident_files* files) { return Of<FileList>(files).size(); }
const char* vci_ident_files_name(const vci_ident_files* files, size_t index) {
  return File(files, index).first.c_str();
}
size_t vci_ident_files_size(const vci_ident_files* files, size_t index) { return File(files, index).second.size(); }
const uint8_t* vci_ident_files_data(const vci_ident_files* files, size_t index) {
  return File(files, index).second.data();
}

}  // extern "C"
