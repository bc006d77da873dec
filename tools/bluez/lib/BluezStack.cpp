#include "BluezStack.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char kAgentPath[] = "/vci_ident/agent";
const char kAgentInterface[] = "org.bluez.Agent1";
const char kAgentManagerPath[] = "/org/bluez";
const char kAgentManagerInterface[] = "org.bluez.AgentManager1";
const char kObjectManager[] = "org.freedesktop.DBus.ObjectManager";
const char kProperties[] = "org.freedesktop.DBus.Properties";

// The entry points wait at most this long for the event thread, and its
// bus calls for them time out sooner, so that every entry point returns
// within TOSBT_MAX_CALL_MS.
const int kSyncWaitMs = TOSBT_MAX_CALL_MS - 1000;
const uint64_t kListCallUs = 3000000;
// Pairing waits for the device's user (a PIN typed on a VCI's keypad) and
// for the radio's own timeouts; the service bounds it again (PAIR_TIMEOUT).
const uint64_t kPairCallUs = 60000000;
const uint64_t kConnectCallUs = 30000000;

// A radio peer can grow the lists; what is beyond these bounds is left out.
const size_t kMaxFound = 256;
const size_t kMaxNames = 16;
const size_t kMaxPairingSettings = 64;

uint64_t Millis(const char* variable, uint64_t fallback) {
  const char* text = getenv(variable);
  char* end = nullptr;
  const unsigned long long ms = text ? strtoull(text, &end, 10) : 0;
  return text && *text && end && !*end && ms > 0 && ms <= 3600000 ? ms : fallback;
}
uint64_t ScanMs() { return Millis("VCI_BLUEZ_SCAN_MS", 10240); }
uint64_t NameMs() { return Millis("VCI_BLUEZ_NAME_MS", 5120); }

// A thread that ends without BtCloseAPI ends its session on its way out.
void ThreadEnded(uint64_t session) { CBluezStack::Instance().EndSession(session); }

// A bus error's meaning for the stack's status word.
int32_t StatusOf(const sd_bus_error* error) {
  const std::string name = error && error->name ? error->name : "";
  if (name.find("org.bluez.Error.Authentication") == 0 || name == "org.bluez.Error.Rejected" ||
      name == "org.bluez.Error.Canceled")
    return TOSBT_STATUS_AUTH_FAILED;
  if (name == "org.bluez.Error.InProgress" || name == "org.bluez.Error.AlreadyConnected") return TOSBT_STATUS_BUSY;
  if (name == "org.bluez.Error.NotReady") return TOSBT_STATUS_NO_RADIO;
  if (name == SD_BUS_ERROR_NO_REPLY || name == SD_BUS_ERROR_TIMEOUT) return TOSBT_STATUS_TIMEOUT;
  if (name == SD_BUS_ERROR_DISCONNECTED || name == SD_BUS_ERROR_SERVICE_UNKNOWN || name == SD_BUS_ERROR_NAME_HAS_NO_OWNER)
    return TOSBT_STATUS_NO_RADIO;
  return TOSBT_STATUS_NO_DEVICE;
}

// The agent's IO capability for BlueZ from the Bluetooth value set for a
// device (DisplayOnly 0 ... KeyboardDisplay 4).
std::string CapabilityName(int32_t capability) {
  static const char* const kNames[] = {"DisplayOnly", "DisplayYesNo", "KeyboardOnly", "NoInputNoOutput",
                                       "KeyboardDisplay"};
  return capability >= 0 && capability <= 4 ? kNames[capability] : "KeyboardDisplay";
}

int AppendNothing(sd_bus_message*) { return 0; }

}  // namespace

CBluezStack& CBluezStack::Instance() {
  // Destroyed when the library is unloaded (or the program ends).
  static CBluezStack stack;
  return stack;
}

CBluezStack::CBluezStack() : m_Sessions(&ThreadEnded), m_Post(m_Sessions.Post()) {}

CBluezStack::~CBluezStack() {
  m_Sessions.Stop();
  {
    CMutexLock g(m_Lock);
    m_Requests.clear();
    m_Sessions.Clear();
  }
  {
    CMutexLock g(m_WorkLock);
    m_bQuit = true;
  }
  // Joined without m_StartLock: the thread's last work may still Post
  // (refused now).
  std::thread thread;
  {
    CMutexLock starting(m_StartLock);
    thread = std::move(m_Thread);
  }
  if (!thread.joinable()) return;
  const uint64_t one = 1;
  if (write(m_WakeFd, &one, sizeof one) < 0) {
  }
  thread.join();
  close(m_WakeFd);
}

// ---- Sessions ---------------------------------------------------------------

int32_t CBluezStack::Open(HWND hWnd) {
  if (!m_Sessions.CanPost()) return TOSBT_STATUS_NO_RADIO;
  CMutexLock g(m_Lock);
  m_Sessions.Open(hWnd);
  return TOSBT_STATUS_OK;
}

bool CBluezStack::Close() {
  m_Sessions.Release();
  const uint64_t session = CStackSessions::Current();
  bool open;
  {
    CMutexLock g(m_Lock);
    open = m_Sessions.IsOpen(session);
  }
  EndSession(session);
  return open;
}

void CBluezStack::EndSession(uint64_t session) {
  std::vector<std::pair<uint32_t, CRequest>> dropped;
  {
    CMutexLock g(m_Lock);
    if (!m_Sessions.Erase(session)) return;
    for (auto it = m_Requests.begin(); it != m_Requests.end();) {
      if (it->second.session == session) {
        dropped.emplace_back(it->first, std::move(it->second));
        it = m_Requests.erase(it);
      } else {
        ++it;
      }
    }
  }
  // BlueZ forgets them too: a running discovery stops, a pairing is
  // cancelled.
  for (auto& d : dropped) Post([this, d]() { Finish(d.second, d.first); });
}

// ---- Requests from the entry points -----------------------------------------

int32_t CBluezStack::Accept(CRequest request, HWND hWnd, UINT uMsg, intptr_t lParam,
                            void (CBluezStack::*start)(uint32_t)) {
  request.hWnd = hWnd;
  request.uMsg = uMsg;
  request.lParam = lParam;
  uint32_t id;
  {
    CMutexLock g(m_Lock);
    if (!m_Sessions.IsOpen(CStackSessions::Current())) return TOSBT_STATUS_NOT_OPEN;
    size_t same = 0;
    for (const auto& r : m_Requests) same += r.second.kind == request.kind;
    const size_t bound = request.kind == NAME ? kMaxNames : 1;
    if (same >= bound) return TOSBT_STATUS_BUSY;
    request.session = CStackSessions::Current();
    id = ++m_uiNextId;
    m_Requests.emplace(id, std::move(request));
  }
  if (Post([this, id, start]() { (this->*start)(id); })) return TOSBT_STATUS_OK;
  CMutexLock g(m_Lock);
  m_Requests.erase(id);
  return TOSBT_STATUS_NO_MEMORY;
}

int32_t CBluezStack::Discover(BTDEVINFOLIST** ppList, HWND hWnd, UINT uMsg, intptr_t lParam) {
  CRequest r;
  r.kind = INQUIRY;
  r.ppList = ppList;
  return Accept(r, hWnd, uMsg, lParam, &CBluezStack::StartInquiry);
}

int32_t CBluezStack::Name(const std::string& address, char* pszName, HWND hWnd, UINT uMsg, intptr_t lParam) {
  CRequest r;
  r.kind = NAME;
  r.pszName = pszName;
  r.address = address;
  return Accept(r, hWnd, uMsg, lParam, &CBluezStack::StartName);
}

int32_t CBluezStack::Connect(const std::string& address, uint16_t* pwCID, int32_t* plStatus, HWND hWnd, UINT uMsg,
                             intptr_t lParam) {
  CRequest r;
  r.kind = CONNECT;
  r.pwCID = pwCID;
  r.plStatus = plStatus;
  r.address = address;
  return Accept(r, hWnd, uMsg, lParam, &CBluezStack::StartConnect);
}

// Any thread may cancel: the service cancels from another thread than the
// one that started the inquiry.
int32_t CBluezStack::CancelDiscover() {
  uint32_t id = 0;
  {
    CMutexLock g(m_Lock);
    for (const auto& r : m_Requests)
      if (r.second.kind == INQUIRY) id = r.first;
  }
  if (!id) return TOSBT_STATUS_NOT_RUNNING;
  return Post([this, id]() { EndInquiry(id); }) ? TOSBT_STATUS_OK : TOSBT_STATUS_NO_RADIO;
}

int32_t CBluezStack::SetPin(const std::string& address, const std::string& pin) {
  CMutexLock g(m_Lock);
  if (pin.empty()) {
    m_Pins.erase(address);
  } else {
    if (!m_Pins.count(address) && m_Pins.size() >= kMaxPairingSettings) return TOSBT_STATUS_NO_MEMORY;
    m_Pins[address] = pin;
  }
  return TOSBT_STATUS_OK;
}

int32_t CBluezStack::SetIoCapability(const std::string& address, int32_t capability) {
  CMutexLock g(m_Lock);
  if (capability < 0) {
    m_IoCapabilities.erase(address);
  } else {
    if (!m_IoCapabilities.count(address) && m_IoCapabilities.size() >= kMaxPairingSettings)
      return TOSBT_STATUS_NO_MEMORY;
    m_IoCapabilities[address] = capability;
  }
  return TOSBT_STATUS_OK;
}

// ---- Synchronous requests ---------------------------------------------------

int32_t CBluezStack::Sync(const std::function<void(std::function<void(int32_t)> done)>& work) {
  struct CAnswer {
    CMutex lock;
    CCondVar answered;
    bool done = false;
    int32_t status = TOSBT_STATUS_NO_RADIO;
  };
  auto answer = std::make_shared<CAnswer>();
  auto done = [answer](int32_t status) {
    CMutexLock g(answer->lock);
    if (answer->done) return;
    answer->done = true;
    answer->status = status;
    answer->answered.NotifyAll();
  };
  if (!Post([work, done]() { work(done); })) return TOSBT_STATUS_NO_RADIO;
  CMutexLock lock(answer->lock);
  answer->answered.WaitFor(answer->lock, std::chrono::milliseconds(kSyncWaitMs), [&] { return answer->done; });
  return answer->done ? answer->status : TOSBT_STATUS_NO_RADIO;
}

int32_t CBluezStack::Devices(bool pairedOnly, std::vector<bluez::CDevice>& out) {
  auto result = std::make_shared<std::vector<bluez::CDevice>>();
  const int32_t status = Sync([this, result, pairedOnly](std::function<void(int32_t)> done) {
    GetObjects([result, pairedOnly, done](bool ok, const bluez::CObjects& objects) {
      for (const bluez::CDevice& d : objects.devices)
        if ((!pairedOnly || d.paired) && result->size() < kMaxFound) result->push_back(d);
      done(ok ? TOSBT_STATUS_OK : TOSBT_STATUS_NO_RADIO);
    });
  });
  if (status == TOSBT_STATUS_OK) out = *result;
  return status;
}

int32_t CBluezStack::DeleteLinkKeys(const std::vector<std::string>& addresses) {
  return Sync([this, addresses](std::function<void(int32_t)> done) {
    GetObjects([this, addresses, done](bool ok, const bluez::CObjects& objects) {
      if (!ok) return done(TOSBT_STATUS_NO_RADIO);
      std::vector<const bluez::CDevice*> devices;
      for (const std::string& a : addresses) {
        const bluez::CDevice* d = objects.FindDevice(a);
        if (!d || !d->paired) return done(TOSBT_STATUS_NOT_PAIRED);
        devices.push_back(d);
      }
      auto left = std::make_shared<size_t>(devices.size());
      auto status = std::make_shared<int32_t>(TOSBT_STATUS_OK);
      if (devices.empty()) return done(TOSBT_STATUS_OK);
      for (const bluez::CDevice* d : devices) {
        const std::string path = d->path;
        Call(d->adapter, bluez::kAdapterInterface, "RemoveDevice", kListCallUs,
             [path](sd_bus_message* m) { return sd_bus_message_append(m, "o", path.c_str()); },
             [left, status, done](sd_bus_message*, const sd_bus_error* error) {
               if (error) *status = StatusOf(error);
               if (--*left == 0) done(*status);
             });
      }
    });
  });
}

int32_t CBluezStack::Links(std::vector<CLink>& out) {
  const int32_t status = Sync([this](std::function<void(int32_t)> done) {
    GetObjects([this, done](bool ok, const bluez::CObjects& objects) {
      if (ok) {
        CMutexLock g(m_Lock);
        Refresh(objects);
      }
      done(ok ? TOSBT_STATUS_OK : TOSBT_STATUS_NO_RADIO);
    });
  });
  if (status != TOSBT_STATUS_OK) return status;
  CMutexLock g(m_Lock);
  out.clear();
  for (const auto& l : m_Links) out.push_back(l.second);
  return TOSBT_STATUS_OK;
}

int32_t CBluezStack::Disconnect(uint16_t cid) {
  std::string path;
  {
    CMutexLock g(m_Lock);
    for (auto it = m_Links.begin(); it != m_Links.end() && path.empty(); ++it) {
      if (it->second.cid != cid) continue;
      if (!it->second.connected) {
        m_Links.erase(it);
        return TOSBT_STATUS_OK;
      }
      it->second.held = false;
      path = it->first;
    }
  }
  if (path.empty()) return TOSBT_STATUS_NOT_CONNECTED;
  // Waits for the link to be down, so that what the caller does next (the
  // network's connect) does not meet a disconnect in progress.
  return Sync([this, path](std::function<void(int32_t)> done) {
    if (!EnsureBus()) return done(TOSBT_STATUS_NO_RADIO);
    Call(path, bluez::kDeviceInterface, "Disconnect", kListCallUs, AppendNothing,
         [done](sd_bus_message*, const sd_bus_error*) { done(TOSBT_STATUS_OK); });
  });
}

// ---- The event thread ---------------------------------------------------------

bool CBluezStack::Post(std::function<void()> work) {
  {
    CMutexLock starting(m_StartLock);
    {
      CMutexLock g(m_WorkLock);
      if (m_bQuit) return false;
    }
    if (!m_Thread.joinable()) {
      m_WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (m_WakeFd < 0) return false;
      try {
        m_Thread = std::thread(&CBluezStack::Run, this);
      } catch (const std::system_error&) {
        close(m_WakeFd);
        m_WakeFd = -1;
        return false;
      }
    }
    CMutexLock g(m_WorkLock);
    m_Work.push_back(std::move(work));
  }
  const uint64_t one = 1;
  return write(m_WakeFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one) || errno == EAGAIN;
}

void CBluezStack::Run() {
  if (sd_event_new(&m_pEvent) < 0 || sd_event_add_io(m_pEvent, nullptr, m_WakeFd, EPOLLIN, &OnWake, this) < 0) {
    // Without its loop the library answers nothing; the entry points time
    // out (NO_RADIO). Drain the wake-ups until the unload asks to quit.
    for (;;) {
      pollfd p = {m_WakeFd, POLLIN, 0};
      poll(&p, 1, -1);
      uint64_t n;
      if (read(m_WakeFd, &n, sizeof n) < 0) {
      }
      CMutexLock g(m_WorkLock);
      m_Work.clear();
      if (m_bQuit) break;
    }
  } else {
    sd_event_loop(m_pEvent);
  }
  DropBus();
  for (auto& t : m_Timers) sd_event_source_disable_unref(t.second);
  m_Timers.clear();
  m_pEvent = sd_event_unref(m_pEvent);
}

int CBluezStack::OnWake(sd_event_source*, int fd, uint32_t, void* self) {
  auto* stack = static_cast<CBluezStack*>(self);
  uint64_t n;
  if (read(fd, &n, sizeof n) < 0) {
  }
  std::deque<std::function<void()>> work;
  bool quit;
  {
    CMutexLock g(stack->m_WorkLock);
    work.swap(stack->m_Work);
    quit = stack->m_bQuit;
  }
  if (quit) return sd_event_exit(stack->m_pEvent, 0);
  for (auto& w : work) w();
  return 0;
}

bool CBluezStack::EnsureBus() {
  if (m_pBus) return true;
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return false;
  // bluetoothd's objects as they change; the matches are in place before
  // any request's first call, which the bus answers after them.
  static const char* const kMatches[] = {
      "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'",
      "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'",
      "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
      "path_namespace='/org/bluez'",
  };
  static const sd_bus_vtable kAgent[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Release", "", "", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("RequestPinCode", "o", "s", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("DisplayPinCode", "os", "", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("RequestPasskey", "o", "u", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("DisplayPasskey", "ouq", "", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("RequestConfirmation", "ou", "", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("RequestAuthorization", "o", "", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("AuthorizeService", "os", "", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Cancel", "", "", &OnAgent, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  int r = sd_bus_attach_event(bus, m_pEvent, SD_EVENT_PRIORITY_NORMAL);
  if (r >= 0) r = sd_bus_add_filter(bus, nullptr, &OnBusLost, this);
  for (const char* match : kMatches)
    if (r >= 0) r = sd_bus_add_match_async(bus, nullptr, match, &OnSignal, nullptr, this);
  if (r >= 0) r = sd_bus_add_object_vtable(bus, nullptr, kAgentPath, kAgentInterface, kAgent, this);
  if (r < 0) {
    sd_bus_flush_close_unref(bus);
    return false;
  }
  m_pBus = bus;
  return true;
}

// The bus went (or the library goes): every request still running ends
// with ERROR and END, so that no caller waits for what cannot come.
void CBluezStack::DropBus() {
  if (!m_pBus) return;
  sd_bus_detach_event(m_pBus);
  m_pBus = sd_bus_flush_close_unref(m_pBus);
  m_DiscoveryUsers.clear();
  m_bAgentRegistered = false;
  std::vector<uint32_t> ids;
  {
    CMutexLock g(m_Lock);
    m_Links.clear();
    for (const auto& r : m_Requests) ids.push_back(r.first);
  }
  for (uint32_t id : ids) Fail(id, TOSBT_STATUS_NO_RADIO);
}

bool CBluezStack::Call(const std::string& path, const char* interface, const char* member, uint64_t timeoutUs,
                       const AppendFn& append, ReplyFn done) {
  sd_bus_message* m = nullptr;
  sd_bus_slot* slot = nullptr;
  int r = m_pBus ? sd_bus_message_new_method_call(m_pBus, &m, bluez::kService, path.c_str(), interface, member)
                 : -ENOTCONN;
  if (r >= 0) r = append(m);
  auto* fn = new ReplyFn(std::move(done));
  if (r >= 0) r = sd_bus_call_async(m_pBus, &slot, m, &OnReply, fn, timeoutUs);
  sd_bus_message_unref(m);
  if (r < 0) {
    sd_bus_error error = SD_BUS_ERROR_MAKE_CONST(SD_BUS_ERROR_DISCONNECTED, "no call");
    (*fn)(nullptr, &error);
    delete fn;
    return false;
  }
  // The call's closure goes with its slot, which the bus frees after the
  // reply (or with itself).
  sd_bus_slot_set_destroy_callback(slot, [](void* p) { delete static_cast<ReplyFn*>(p); });
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
  return true;
}

int CBluezStack::OnReply(sd_bus_message* m, void* fn, sd_bus_error*) {
  const sd_bus_error* error = sd_bus_message_is_method_error(m, nullptr) ? sd_bus_message_get_error(m) : nullptr;
  (*static_cast<ReplyFn*>(fn))(m, error);
  return 1;
}

void CBluezStack::GetObjects(std::function<void(bool ok, const bluez::CObjects& objects)> done) {
  if (!EnsureBus()) return done(false, bluez::CObjects());
  Call("/", kObjectManager, "GetManagedObjects", kListCallUs, AppendNothing,
       [done](sd_bus_message* m, const sd_bus_error* error) {
         bluez::CObjects objects;
         const bool ok = !error && bluez::ReadObjects(m, objects) >= 0;
         done(ok, objects);
       });
}

// The library holds one discovery session of an adapter for all its
// requests, as BlueZ gives each client one.
void CBluezStack::Acquire(const std::string& adapter, std::function<void(bool ok)> done) {
  if (m_DiscoveryUsers[adapter]++ > 0) return done(true);
  auto failed = [this, adapter, done](const sd_bus_error* error) {
    if (!error) return false;
    // Gone already when the bus went meanwhile.
    auto users = m_DiscoveryUsers.find(adapter);
    if (users != m_DiscoveryUsers.end() && --users->second == 0) m_DiscoveryUsers.erase(users);
    done(false);
    return true;
  };
  Call(adapter, bluez::kAdapterInterface, "SetDiscoveryFilter", kListCallUs,
       [](sd_bus_message* m) { return sd_bus_message_append(m, "a{sv}", 1, "Transport", "s", "bredr"); },
       // A BlueZ without filters still scans; only StartDiscovery decides.
       [this, adapter, done, failed](sd_bus_message*, const sd_bus_error*) {
         Call(adapter, bluez::kAdapterInterface, "StartDiscovery", kListCallUs, AppendNothing,
              [done, failed](sd_bus_message*, const sd_bus_error* error) {
                if (!failed(error)) done(true);
              });
       });
}

void CBluezStack::Release(const std::string& adapter) {
  auto it = m_DiscoveryUsers.find(adapter);
  if (it == m_DiscoveryUsers.end() || --it->second > 0) return;
  m_DiscoveryUsers.erase(it);
  Call(adapter, bluez::kAdapterInterface, "StopDiscovery", kListCallUs, AppendNothing,
       [](sd_bus_message*, const sd_bus_error*) {});
}

void CBluezStack::SetTimer(uint32_t id, uint64_t ms, std::function<void()> fire) {
  auto* fn = new std::function<void()>(std::move(fire));
  sd_event_source* source = nullptr;
  auto handler = [](sd_event_source*, uint64_t, void* p) {
    (*static_cast<std::function<void()>*>(p))();
    return 0;
  };
  if (sd_event_add_time_relative(m_pEvent, &source, CLOCK_MONOTONIC, ms * 1000, 0, handler, fn) < 0) {
    delete fn;
    return;
  }
  sd_event_source_set_destroy_callback(source, [](void* p) { delete static_cast<std::function<void()>*>(p); });
  auto old = m_Timers.find(id);
  if (old != m_Timers.end()) sd_event_source_disable_unref(old->second);
  m_Timers[id] = source;
}

// What a request that has left the table still holds of BlueZ.
void CBluezStack::Finish(const CRequest& request, uint32_t id) {
  auto timer = m_Timers.find(id);
  if (timer != m_Timers.end()) {
    sd_event_source_disable_unref(timer->second);
    m_Timers.erase(timer);
  }
  if (request.discovering) Release(request.adapter);
  if (request.pairing && m_pBus)
    Call(request.path, bluez::kDeviceInterface, "CancelPairing", kListCallUs, AppendNothing,
         [](sd_bus_message*, const sd_bus_error*) {});
  if (request.kind == CONNECT && m_bAgentRegistered && m_pBus) {
    m_bAgentRegistered = false;
    Call(kAgentManagerPath, kAgentManagerInterface, "UnregisterAgent", kListCallUs,
         [](sd_bus_message* m) { return sd_bus_message_append(m, "o", kAgentPath); },
         [](sd_bus_message*, const sd_bus_error*) {});
  }
}

bool CBluezStack::PostCode(uint32_t id, uint32_t code) {
  auto it = m_Requests.find(id);
  if (it == m_Requests.end()) return false;
  m_Post(it->second.hWnd, it->second.uMsg, code, it->second.lParam);
  return true;
}

bool CBluezStack::TakeOut(uint32_t id, CRequest& out) {
  auto it = m_Requests.find(id);
  if (it == m_Requests.end()) return false;
  out = std::move(it->second);
  m_Requests.erase(it);
  return true;
}

void CBluezStack::Fail(uint32_t id, int32_t status) {
  CRequest r;
  {
    CMutexLock g(m_Lock);
    if (!TakeOut(id, r)) return;
    static const uint32_t kCodes[][2] = {
        {TOSBTAPI_NM_DISCOVERDEVICE_ERROR, TOSBTAPI_NM_DISCOVERDEVICE_END},
        {TOSBTAPI_NM_DISCOVERNAME_ERROR, TOSBTAPI_NM_DISCOVERNAME_END},
        {TOSBTAPI_NM_CONNECT_ERROR, TOSBTAPI_NM_CONNECT_END},
    };
    if (r.plStatus) *r.plStatus = status;
    m_Post(r.hWnd, r.uMsg, kCodes[r.kind][0], r.lParam);
    m_Post(r.hWnd, r.uMsg, kCodes[r.kind][1], r.lParam);
  }
  Finish(r, id);
}

// ---- Inquiry ------------------------------------------------------------------

void CBluezStack::StartInquiry(uint32_t id) {
  {
    CMutexLock g(m_Lock);
    if (!PostCode(id, TOSBTAPI_NM_DISCOVERDEVICE_START)) return;
  }
  GetObjects([this, id](bool ok, const bluez::CObjects& objects) {
    const bluez::CAdapter* adapter = ok ? objects.FirstPoweredAdapter() : nullptr;
    if (!adapter) return Fail(id, TOSBT_STATUS_NO_RADIO);
    const std::string path = adapter->path;
    {
      CMutexLock g(m_Lock);
      auto it = m_Requests.find(id);
      if (it == m_Requests.end()) return;
      it->second.adapter = path;
    }
    Acquire(path, [this, id, path, objects](bool started) {
      if (!started) return Fail(id, TOSBT_STATUS_NO_RADIO);
      {
        CMutexLock g(m_Lock);
        auto it = m_Requests.find(id);
        if (it == m_Requests.end()) return Release(path);
        it->second.discovering = true;
        for (const bluez::CDevice& d : objects.devices)
          if (d.inRange) Found(it->second, d);
      }
      SetTimer(id, ScanMs(), [this, id]() { EndInquiry(id); });
    });
  });
}

// Requires m_Lock held.
void CBluezStack::Found(CRequest& r, const bluez::CDevice& d) {
  if (r.kind != INQUIRY || d.adapter != r.adapter || d.address.size() != 17 || r.foundPaths.count(d.path)) return;
  if (r.found.size() >= kMaxFound) {
    if (!m_bFoundBoundLogged)
      fprintf(stderr, "libTosBtApi: more than %zu devices in one inquiry; the others are left out\n", kMaxFound);
    m_bFoundBoundLogged = true;
    return;
  }
  BTDEVINFO e;
  memset(&e, 0, sizeof e);
  e.dwFlags = (d.paired ? uint32_t(TOSBT_DEV_PAIRED) : 0u) | (d.connected ? uint32_t(TOSBT_DEV_CONNECTED) : 0u);
  for (int i = 0; i < 6; ++i) e.BdAddr[i] = static_cast<uint8_t>(strtoul(d.address.substr(i * 3, 2).c_str(), nullptr, 16));
  memcpy(e.FriendlyName, d.name.data(), std::min(d.name.size(), sizeof e.FriendlyName));
  r.found.push_back(e);
  r.foundPaths.insert(d.path);
  m_Post(r.hWnd, r.uMsg, TOSBTAPI_NM_DISCOVERDEVICE_FOUND, r.lParam);
}

void CBluezStack::EndInquiry(uint32_t id) {
  CRequest r;
  {
    CMutexLock g(m_Lock);
    if (!TakeOut(id, r)) return;
    auto* list = static_cast<BTDEVINFOLIST*>(calloc(1, sizeof(uint32_t) + r.found.size() * sizeof(BTDEVINFO)));
    if (list) {
      list->dwDevListNum = static_cast<uint32_t>(r.found.size());
      if (!r.found.empty()) memcpy(&list->DevInfo[0], r.found.data(), r.found.size() * sizeof(BTDEVINFO));
      *r.ppList = list;
    }
    m_Post(r.hWnd, r.uMsg, list ? TOSBTAPI_NM_DISCOVERDEVICE_END : TOSBTAPI_NM_DISCOVERDEVICE_ERROR, r.lParam);
    if (!list) m_Post(r.hWnd, r.uMsg, TOSBTAPI_NM_DISCOVERDEVICE_END, r.lParam);
  }
  Finish(r, id);
}

// ---- Names ----------------------------------------------------------------------

void CBluezStack::StartName(uint32_t id) {
  std::string address;
  {
    CMutexLock g(m_Lock);
    auto it = m_Requests.find(id);
    if (it == m_Requests.end()) return;
    address = it->second.address;
  }
  GetObjects([this, id, address](bool ok, const bluez::CObjects& objects) {
    const bluez::CDevice* d = ok ? objects.FindDevice(address) : nullptr;
    {
      CMutexLock g(m_Lock);
      if (!PostCode(id, TOSBTAPI_NM_DISCOVERNAME_START)) return;
    }
    if (!d) return Fail(id, ok ? TOSBT_STATUS_NO_DEVICE : TOSBT_STATUS_NO_RADIO);
    {
      CMutexLock g(m_Lock);
      auto it = m_Requests.find(id);
      if (it == m_Requests.end()) return;
      it->second.path = d->path;
    }
    // A name already known answers at once, as one that comes later.
    if (!d->name.empty()) return OnDeviceSeen(*d);
    SetTimer(id, NameMs(), [this, id]() { Fail(id, TOSBT_STATUS_TIMEOUT); });
  });
}

// A device's properties as BlueZ now has them: FOUND for an inquiry that
// runs on its adapter (when in range), the name for the name requests
// waiting for it.
void CBluezStack::OnDeviceSeen(const bluez::CDevice& d) {
  std::vector<std::pair<uint32_t, CRequest>> answered;
  {
    CMutexLock g(m_Lock);
    for (auto it = m_Requests.begin(); it != m_Requests.end();) {
      CRequest& r = it->second;
      if (r.kind == INQUIRY && r.discovering && d.inRange) Found(r, d);
      if (r.kind != NAME || r.path != d.path || d.name.empty()) {
        ++it;
        continue;
      }
      const std::string name = d.name.substr(0, TOSBT_MAX_NAME_LENGTH);
      memcpy(r.pszName, name.c_str(), name.size() + 1);
      m_Post(r.hWnd, r.uMsg, TOSBTAPI_NM_DISCOVERNAME_FOUND, r.lParam);
      m_Post(r.hWnd, r.uMsg, TOSBTAPI_NM_DISCOVERNAME_END, r.lParam);
      answered.emplace_back(it->first, std::move(r));
      it = m_Requests.erase(it);
    }
  }
  for (auto& a : answered) Finish(a.second, a.first);
}

// ---- Connect and pairing ----------------------------------------------------------

void CBluezStack::StartConnect(uint32_t id) {
  std::string address;
  {
    CMutexLock g(m_Lock);
    if (!PostCode(id, TOSBTAPI_NM_CONNECT_START)) return;
    address = m_Requests[id].address;
  }
  GetObjects([this, id, address](bool ok, const bluez::CObjects& objects) {
    if (!ok) return Fail(id, TOSBT_STATUS_NO_RADIO);
    if (const bluez::CDevice* d = objects.FindDevice(address)) return ConnectDevice(id, *d);
    // Not known to BlueZ (any more): a discovery may find it.
    const bluez::CAdapter* adapter = objects.FirstPoweredAdapter();
    if (!adapter) return Fail(id, TOSBT_STATUS_NO_RADIO);
    const std::string path = adapter->path;
    Acquire(path, [this, id, path](bool started) {
      if (!started) return Fail(id, TOSBT_STATUS_NO_RADIO);
      {
        CMutexLock g(m_Lock);
        auto it = m_Requests.find(id);
        if (it == m_Requests.end()) return Release(path);
        it->second.adapter = path;
        it->second.discovering = true;
      }
      SetTimer(id, ScanMs(), [this, id]() { Fail(id, TOSBT_STATUS_NO_DEVICE); });
    });
  });
}

void CBluezStack::ConnectDevice(uint32_t id, const bluez::CDevice& d) {
  std::string adapter, capability;
  bool discovering = false;
  {
    CMutexLock g(m_Lock);
    auto it = m_Requests.find(id);
    if (it == m_Requests.end()) return;
    CRequest& r = it->second;
    discovering = r.discovering;
    adapter = r.adapter;
    r.discovering = false;
    r.path = d.path;
    r.pairing = !d.paired;
    auto cap = m_IoCapabilities.find(d.address);
    capability = CapabilityName(cap == m_IoCapabilities.end() ? -1 : cap->second);
  }
  if (discovering) Release(adapter);
  auto timer = m_Timers.find(id);
  if (timer != m_Timers.end()) {
    sd_event_source_disable_unref(timer->second);
    m_Timers.erase(timer);
  }
  if (!d.paired) return Pair(id, d.path, capability);
  const std::string path = d.path;
  Call(path, bluez::kDeviceInterface, "Connect", kConnectCallUs, AppendNothing,
       [this, id, path](sd_bus_message*, const sd_bus_error* error) {
         if (error) return Fail(id, StatusOf(error));
         Connected(id, path);
       });
}

void CBluezStack::Pair(uint32_t id, const std::string& path, const std::string& capability) {
  auto pair = [this, id, path]() {
    Call(kAgentManagerPath, kAgentManagerInterface, "RequestDefaultAgent", kListCallUs,
         [](sd_bus_message* m) { return sd_bus_message_append(m, "o", kAgentPath); },
         [this, id, path](sd_bus_message*, const sd_bus_error*) {
           Call(path, bluez::kDeviceInterface, "Pair", kPairCallUs, AppendNothing,
                [this, id, path](sd_bus_message*, const sd_bus_error* error) {
                  {
                    CMutexLock g(m_Lock);
                    auto it = m_Requests.find(id);
                    if (it != m_Requests.end()) it->second.pairing = false;
                  }
                  if (error) return Fail(id, StatusOf(error));
                  // Trusted, so that the network connects later without asking.
                  Call(path, kProperties, "Set", kListCallUs,
                       [](sd_bus_message* m) {
                         return sd_bus_message_append(m, "ssv", bluez::kDeviceInterface, "Trusted", "b", 1);
                       },
                       [this, id, path](sd_bus_message*, const sd_bus_error*) { Connected(id, path); });
                });
         });
  };
  if (m_bAgentRegistered) {
    Call(kAgentManagerPath, kAgentManagerInterface, "UnregisterAgent", kListCallUs,
         [](sd_bus_message* m) { return sd_bus_message_append(m, "o", kAgentPath); },
         [](sd_bus_message*, const sd_bus_error*) {});
  }
  m_bAgentRegistered = true;
  Call(kAgentManagerPath, kAgentManagerInterface, "RegisterAgent", kListCallUs,
       [capability](sd_bus_message* m) { return sd_bus_message_append(m, "os", kAgentPath, capability.c_str()); },
       [this, id, pair](sd_bus_message*, const sd_bus_error* error) {
         if (error && strcmp(error->name, "org.bluez.Error.AlreadyExists") != 0) {
           m_bAgentRegistered = false;
           return Fail(id, StatusOf(error));
         }
         pair();
       });
}

void CBluezStack::Connected(uint32_t id, const std::string& path) {
  CRequest r;
  {
    CMutexLock g(m_Lock);
    if (!TakeOut(id, r)) return;
    CLink& link = EnsureLink(path, r.address);
    link.held = true;
    *r.pwCID = link.cid;
    *r.plStatus = TOSBT_STATUS_OK;
    m_Post(r.hWnd, r.uMsg, TOSBTAPI_NM_CONNECT_CONNECTED, r.lParam);
    m_Post(r.hWnd, r.uMsg, TOSBTAPI_NM_CONNECT_END, r.lParam);
  }
  Finish(r, id);
}

int CBluezStack::OnAgent(sd_bus_message* m, void* self, sd_bus_error* error) {
  auto* stack = static_cast<CBluezStack*>(self);
  const std::string member = sd_bus_message_get_member(m);
  const char* device = nullptr;
  if (member == "Release" || member == "Cancel" || member.compare(0, 7, "Display") == 0)
    return sd_bus_reply_method_return(m, "");
  if (sd_bus_message_read_basic(m, 'o', &device) < 0 || !device)
    return sd_bus_error_set(error, "org.bluez.Error.Rejected", "no device");
  // Only the device that the library pairs gets an answer: its PIN, or
  // consent to what it asks.
  std::string pin;
  {
    CMutexLock g(stack->m_Lock);
    auto it = stack->m_Pins.find(bluez::AddressFromPath(device));
    if (it != stack->m_Pins.end()) pin = it->second;
  }
  if (pin.empty()) return sd_bus_error_set(error, "org.bluez.Error.Rejected", "not paired by this stack");
  if (member == "RequestPinCode") return sd_bus_reply_method_return(m, "s", pin.c_str());
  if (member == "RequestPasskey") {
    char* end = nullptr;
    const unsigned long passkey = strtoul(pin.c_str(), &end, 10);
    if (*end || passkey > 999999) return sd_bus_error_set(error, "org.bluez.Error.Rejected", "no passkey");
    return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(passkey));
  }
  return sd_bus_reply_method_return(m, "");
}

// ---- Links ------------------------------------------------------------------------

// Requires m_Lock held. Handles and channel ids are the library's own: the
// next free one, so that a link keeps its numbers for its life.
CBluezStack::CLink& CBluezStack::EnsureLink(const std::string& path, const std::string& address) {
  auto it = m_Links.find(path);
  if (it != m_Links.end()) return it->second;
  auto used = [this](uint16_t v, bool handle) {
    for (const auto& l : m_Links)
      if ((handle ? l.second.handle : l.second.cid) == v) return true;
    return false;
  };
  do m_uiLastHandle = m_uiLastHandle >= 0x0EFF ? 1 : m_uiLastHandle + 1;
  while (used(m_uiLastHandle, true));
  do m_uiLastCid = m_uiLastCid < 0x0040 || m_uiLastCid == 0xFFFF ? 0x0040 : m_uiLastCid + 1;
  while (used(m_uiLastCid, false));
  return m_Links[path] = CLink{address, m_uiLastHandle, m_uiLastCid, false, false};
}

// Requires m_Lock held.
void CBluezStack::Refresh(const bluez::CObjects& objects) {
  for (auto it = m_Links.begin(); it != m_Links.end();) {
    const bluez::CDevice* d = objects.FindDevice(it->second.address);
    if (d) it->second.connected = d->connected;
    if (!d || (!it->second.connected && !it->second.held))
      it = m_Links.erase(it);
    else
      ++it;
  }
  for (const bluez::CDevice& d : objects.devices)
    if (d.connected && m_Links.size() < kMaxFound) EnsureLink(d.path, d.address).connected = true;
}

// ---- Signals --------------------------------------------------------------------------

int CBluezStack::OnBusLost(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* stack = static_cast<CBluezStack*>(self);
  // Dropped later, not from within the bus's own dispatch.
  if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected"))
    stack->Post([stack]() { stack->DropBus(); });
  return 0;
}

int CBluezStack::OnSignal(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* stack = static_cast<CBluezStack*>(self);
  if (sd_bus_message_is_signal(m, kObjectManager, "InterfacesAdded")) stack->OnInterfacesAdded(m);
  if (sd_bus_message_is_signal(m, kObjectManager, "InterfacesRemoved")) stack->OnInterfacesRemoved(m);
  if (sd_bus_message_is_signal(m, kProperties, "PropertiesChanged")) stack->OnPropertiesChanged(m);
  return 0;
}

void CBluezStack::OnInterfacesAdded(sd_bus_message* m) {
  const char* path = nullptr;
  bluez::CInterfaces interfaces;
  if (sd_bus_message_read_basic(m, 'o', &path) < 0 || bluez::ReadInterfaces(m, interfaces) < 0 ||
      !interfaces.count(bluez::kDeviceInterface))
    return;
  bluez::CDevice d = bluez::MakeDevice(path, interfaces);
  // A device that appears during a discovery is in range, whether or not
  // BlueZ gave it an RSSI yet.
  d.inRange = true;
  OnDeviceSeen(d);
  uint32_t waiting = 0;
  {
    CMutexLock g(m_Lock);
    for (const auto& r : m_Requests)
      if (r.second.kind == CONNECT && r.second.discovering && r.second.address == d.address) waiting = r.first;
  }
  if (waiting) ConnectDevice(waiting, d);
}

void CBluezStack::OnInterfacesRemoved(sd_bus_message* m) {
  const char* path = nullptr;
  if (sd_bus_message_read_basic(m, 'o', &path) < 0 || !path) return;
  std::vector<uint32_t> lost;
  {
    CMutexLock g(m_Lock);
    m_Links.erase(path);
    for (const auto& r : m_Requests)
      if (r.second.adapter == path) lost.push_back(r.first);
  }
  // Only an adapter carries requests by its path.
  for (uint32_t id : lost) Fail(id, TOSBT_STATUS_NO_RADIO);
}

void CBluezStack::OnPropertiesChanged(sd_bus_message* m) {
  const char* interface = nullptr;
  bluez::CProps changed;
  if (sd_bus_message_read_basic(m, 's', &interface) < 0 || bluez::ReadProps(m, changed) < 0) return;
  const std::string path = sd_bus_message_get_path(m);
  if (!strcmp(interface, bluez::kAdapterInterface)) {
    auto powered = changed.find("Powered");
    if (powered == changed.end() || powered->second.b) return;
    std::vector<uint32_t> lost;
    {
      CMutexLock g(m_Lock);
      for (const auto& r : m_Requests)
        if (r.second.adapter == path) lost.push_back(r.first);
    }
    for (uint32_t id : lost) Fail(id, TOSBT_STATUS_NO_RADIO);
    return;
  }
  if (strcmp(interface, bluez::kDeviceInterface) != 0) return;
  auto connected = changed.find("Connected");
  if (connected != changed.end()) {
    CMutexLock g(m_Lock);
    auto link = m_Links.find(path);
    if (connected->second.b && link == m_Links.end() && m_Links.size() < kMaxFound)
      EnsureLink(path, bluez::AddressFromPath(path)).connected = true;
    else if (link != m_Links.end() && !(link->second.connected = connected->second.b) && !link->second.held)
      m_Links.erase(link);
  }
  bluez::CDevice d = bluez::MakeDevice(path, {{bluez::kDeviceInterface, changed}});
  // Only what changed is known here: an RSSI means in range, a name is one.
  if (changed.count("RSSI") || !d.name.empty()) OnDeviceSeen(d);
}
