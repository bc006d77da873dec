#include "BtSimulator.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "BtSimWire.h"
#include "JsonText.h"
#include "Spawn.h"
#include "bluetooth/TosBtApi.h"
#include "platform/StackNotification.h"
#include "platform/StopSignals.h"

namespace btsim {

const char kCommandHelp[] =
    "Commands on standard input, one a line, each answered \"ok\" or \"error: ...\":\n"
    "  world JSON       merge a world object (as in the world file)\n"
    "  device JSON      merge one device object (its address picks the device;\n"
    "                   a new address adds one)\n"
    "  notify N         post the stack's state notification N (1 INIT_END,\n"
    "                   7 ENABLE_RFCOMM, 10 and 20 PRE_DISABLE) to the service\n"
    "                   window of this registry's scope\n"
    "  status           one JSON line instead of \"ok\": the world as it stands\n"
    "                   (devices with \"connected\"), \"links\" with their\n"
    "                   channels, \"pan\" (null, or its \"address\" and \"state\"\n"
    "                   starting or up) and \"inquiry\" (whether one runs)\n"
    "  quit             stop, as SIGTERM and SIGINT do\n";

CBtSimulator::CBtSimulator(const CBtWorld& world, const COptions& options)
    : m_Options(options), m_World(world), m_Pan(options.panInterface, options.vciSimPath) {}

CBtSimulator::~CBtSimulator() {
  if (m_Service > 0) {
    kill(m_Service, SIGTERM);
    WaitChild(m_Service);
  }
  for (int fd : m_Clients) close(fd);
  for (int fd : {m_Listen, m_Signals, m_ServiceReady})
    if (fd >= 0) close(fd);
}

int CBtSimulator::Run() {
  if (!Start()) return 1;
  Serve();
  return 0;
}

bool CBtSimulator::Start() {
  std::string error;
  if (!m_Pan.Create(error)) {
    std::cerr << "vci-btsim: " << error << std::endl;
    return false;
  }
  const std::string name = SocketName();
  m_Listen = Listen(name);
  if (m_Listen < 0) {
    std::cerr << "vci-btsim: cannot listen on @" << name << ": " << strerror(errno)
              << (errno == EADDRINUSE ? " (another vci-btsim serves this registry)" : "") << std::endl;
    return false;
  }
  const sigset_t stop = platform::StopSignalSet();
  m_Signals = signalfd(-1, &stop, SFD_CLOEXEC);
  if (m_Options.servicePath.empty()) {
    PostNotifications(m_Options.startCodes);
  } else {
    // The service tells its readiness (its window answers) as it would tell
    // systemd; the start notifications wait for it.
    const std::string ready = "vci-btsim-service/" + std::to_string(getpid());
    m_ServiceReady = Listen(ready, true);
    m_Service = Spawn({m_Options.servicePath, "-t"}, {"NOTIFY_SOCKET=@" + ready}, -1, -2);
    if (m_Service <= 0) {
      std::cerr << "vci-btsim: cannot start " << m_Options.servicePath << std::endl;
      return false;
    }
  }
  std::cout << "vci-btsim: ready: " << m_World.Devices().size() << " devices, socket @" << name << ", adapter "
            << m_Pan.Interface() << " 192.168.178.1/24" << std::endl;
  return true;
}

void CBtSimulator::Serve() {
  while (!m_bQuit) {
    // Fixed slots first; the order is also the order of handling, the
    // network's child before anything that may stop it.
    std::vector<pollfd> fds = {{m_Signals, POLLIN, 0},
                               {m_Pan.OutputFd(), POLLIN, 0},
                               {m_ServiceReady, POLLIN, 0},
                               {m_Listen, POLLIN, 0},
                               {m_bStdinOpen ? 0 : -1, POLLIN, 0}};
    for (int c : m_Clients) fds.push_back({c, POLLIN, 0});
    int timeout = -1;
    if (!m_Timers.empty()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(m_Timers.begin()->first - Clock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    FireTimers();
    if (fds[0].revents) m_bQuit = true;
    if (fds[1].revents) OnPanOutput();
    if (fds[2].revents) OnServiceReady();
    if (fds[3].revents & POLLIN) {
      int c = accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) m_Clients.insert(c);
    }
    if (fds[4].revents) OnStdin();
    for (size_t i = 5; i < fds.size(); ++i)
      if (fds[i].revents) OnClient(fds[i].fd);
  }
}

void CBtSimulator::FireTimers() {
  while (!m_Timers.empty() && m_Timers.begin()->first <= Clock::now()) {
    std::function<void()> fire = std::move(m_Timers.begin()->second.fire);
    m_Timers.erase(m_Timers.begin());
    fire();
  }
}

void CBtSimulator::OnClient(int fd) {
  nlohmann::json request;
  if (Receive(fd, request, 0) <= 0) return DropClient(fd);
  if (m_Options.verbosity) std::cerr << "vci-btsim: <- " << JsonText(request) << std::endl;
  try {
    HandleRequest(fd, request);
  } catch (const nlohmann::json::exception&) {
    Answer({fd, 0}, TOSBT_STATUS_INVALID_PARAMETER, {{"error", "malformed request"}});
  }
}

// A client gone takes its pending requests with it; the links it made stay,
// as a stack's links outlive the program that asked for them.
void CBtSimulator::DropClient(int fd) {
  Abandon(fd, {});
  for (size_t i = m_PanWaiters.size(); i-- > 0;)
    if (m_PanWaiters[i].client == fd) m_PanWaiters.erase(m_PanWaiters.begin() + static_cast<long>(i));
  m_Clients.erase(fd);
  close(fd);
}

void CBtSimulator::OnStdin() {
  char chunk[4096];
  ssize_t n = read(0, chunk, sizeof chunk);
  // The end of standard input (as with </dev/null) changes nothing.
  if (n <= 0) {
    m_bStdinOpen = false;
    return;
  }
  m_StdinBuffer.append(chunk, static_cast<size_t>(n));
  size_t nl;
  while ((nl = m_StdinBuffer.find('\n')) != std::string::npos) {
    std::string line = m_StdinBuffer.substr(0, nl);
    m_StdinBuffer.erase(0, nl + 1);
    RunCommand(line);
  }
}

void CBtSimulator::OnServiceReady() {
  char text[256] = {};
  if (recv(m_ServiceReady, text, sizeof text - 1, 0) <= 0 || !strstr(text, "READY=1")) return;
  close(m_ServiceReady);
  m_ServiceReady = -1;
  PostNotifications(m_Options.startCodes);
}

void CBtSimulator::PostNotifications(const std::vector<unsigned>& codes) {
  for (unsigned code : codes)
    if (!platform::PostStackNotification(code))
      std::cerr << "vci-btsim: no service window took the notification " << code << std::endl;
}

// Requests (BtSimWire.h), with their fields beyond "id" and "op", and the
// fields of their answers beyond "status":
//   discover                      inquiry: events START, FOUND {address} per
//                                 device, [ERROR {status}], END [{devices}]
//   cancel-discover               ends the running inquiry (END {devices} when
//                                 it found any, END otherwise)
//   name {address}                events START, FOUND {name} or ERROR
//                                 {status}, END
//   connect {address}             events START, CONNECTED {cid} or ERROR, END,
//                                 each with {status}; pairs first when the
//                                 device has no link key
//   close {reqs}                  the session of these requests closed: they
//                                 are dropped without events; no answer
//   remote-list                   {devices} with a link key
//   delete-keys {addresses}       forgets their link keys
//   connected-list                {links: [{address, handle}]}
//   cid-list                      {channels: [{cid, handle}]}
//   pin {address, pin}            PIN for automatic replies ("" clears it)
//   disconnect {cid}              closes the channel
//   pan {address}, pan-reset      the personal-area network (TosBtPcs),
//                                 answered once it is up or down; {error}
//                                 says why it failed
// A device in a list is {address, name, paired, connected}.
void CBtSimulator::HandleRequest(int client, const nlohmann::json& request) {
  const CRequest r = {client, request.value("id", 0u)};
  const std::string op = request.value("op", "");
  const std::string address = request.value("address", "");
  if (op == "discover") {
    if (m_bInquiry) return Answer(r, TOSBT_STATUS_BUSY);
    Answer(r, TOSBT_STATUS_OK);
    StartInquiry(r);
  } else if (op == "cancel-discover") {
    if (!m_bInquiry) return Answer(r, TOSBT_STATUS_NOT_RUNNING);
    EndInquiry(EInquiryEnd::CANCELLED);
    Answer(r, TOSBT_STATUS_OK);
  } else if (op == "name" || op == "connect") {
    Answer(r, TOSBT_STATUS_OK);
    const bool name = op == "name";
    Event(r, name ? TOSBTAPI_NM_DISCOVERNAME_START : TOSBTAPI_NM_CONNECT_START, {{"status", TOSBT_STATUS_OK}});
    After(m_World.ReplyTimeMs(), r, [this, r, address, name]() {
      if (name)
        FinishName(r, address);
      else
        FinishConnect(r, address);
    });
  } else if (op == "close") {
    Abandon(client, request.at("reqs").get<std::set<uint32_t>>());
  } else if (op == "remote-list") {
    nlohmann::json devices = nlohmann::json::array();
    for (const SimDevice& d : m_World.Devices())
      if (d.paired) devices.push_back(DeviceEntry(d));
    Answer(r, TOSBT_STATUS_OK, {{"devices", devices}});
  } else if (op == "delete-keys") {
    const auto addresses = request.at("addresses").get<std::vector<std::string>>();
    for (const std::string& a : addresses)
      if (!m_World.Find(a) || !m_World.Find(a)->paired) return Answer(r, TOSBT_STATUS_NOT_PAIRED);
    for (const std::string& a : addresses) m_World.Find(a)->paired = false;
    Answer(r, TOSBT_STATUS_OK);
  } else if (op == "connected-list") {
    Answer(r, TOSBT_STATUS_OK, {{"links", m_World.ConnectedList()}});
  } else if (op == "cid-list") {
    Answer(r, TOSBT_STATUS_OK, {{"channels", m_World.CidList()}});
  } else if (op == "pin") {
    m_World.SetPin(address, request.value("pin", ""));
    Answer(r, TOSBT_STATUS_OK);
  } else if (op == "disconnect") {
    Answer(r, CloseChannel(request.value("cid", uint16_t(0))) ? TOSBT_STATUS_OK : TOSBT_STATUS_NOT_CONNECTED);
  } else if (op == "pan") {
    ConnectPan(r, address);
  } else if (op == "pan-reset") {
    ResetPan();
    Answer(r, TOSBT_STATUS_OK);
  } else {
    Answer(r, TOSBT_STATUS_INVALID_PARAMETER, {{"error", "unknown operation '" + op + "'"}});
  }
}

void CBtSimulator::Answer(const CRequest& r, int32_t status, nlohmann::json extra) {
  extra["id"] = r.req;
  extra["status"] = status;
  Send(r.client, extra);
}

void CBtSimulator::Event(const CRequest& r, uint32_t code, nlohmann::json extra) {
  extra["req"] = r.req;
  extra["code"] = code;
  if (m_Options.verbosity) std::cerr << "vci-btsim: -> " << JsonText(extra) << std::endl;
  Send(r.client, extra);
}

void CBtSimulator::After(uint32_t ms, const CRequest& r, std::function<void()> fire) {
  m_Timers.emplace(Clock::now() + std::chrono::milliseconds(ms), CTimer{r.client, r.req, std::move(fire)});
}

void CBtSimulator::Abandon(int client, const std::set<uint32_t>& reqs) {
  for (auto it = m_Timers.begin(); it != m_Timers.end();) {
    if (it->second.client == client && (reqs.empty() || reqs.count(it->second.req)))
      it = m_Timers.erase(it);
    else
      ++it;
  }
  if (m_bInquiry && m_Inquiry.client == client && (reqs.empty() || reqs.count(m_Inquiry.req))) m_bInquiry = false;
}

void CBtSimulator::StartInquiry(const CRequest& r) {
  m_bInquiry = true;
  m_Inquiry = r;
  m_Found.clear();
  Event(r, TOSBTAPI_NM_DISCOVERDEVICE_START);
  std::vector<std::string> inRange;
  for (const SimDevice& d : m_World.Devices())
    if (d.inRange) inRange.push_back(d.address);
  // The devices answer one by one over the scan time, the END after the last.
  const uint64_t scan = m_World.ScanTimeMs(), n = inRange.size();
  for (uint64_t i = 0; i < n; ++i) {
    After(static_cast<uint32_t>(scan * (i + 1) / (n + 1)), r, [this, r, a = inRange[i]]() {
      m_Found.push_back(a);
      Event(r, TOSBTAPI_NM_DISCOVERDEVICE_FOUND, {{"address", a}});
    });
  }
  if (!m_World.Has("discovery-endless"))
    After(static_cast<uint32_t>(scan), r, [this]() {
      EndInquiry(m_World.Has("discovery-error") ? EInquiryEnd::ERROR : EInquiryEnd::DONE);
    });
}

// A cancelled inquiry hands over a list only when it found something; one
// that failed hands over none.
void CBtSimulator::EndInquiry(EInquiryEnd how) {
  const CRequest r = m_Inquiry;
  Abandon(r.client, {r.req});
  if (how == EInquiryEnd::ERROR)
    Event(r, TOSBTAPI_NM_DISCOVERDEVICE_ERROR, {{"status", TOSBT_STATUS_NO_DEVICE}});
  if (how == EInquiryEnd::ERROR || (how == EInquiryEnd::CANCELLED && m_Found.empty()))
    return Event(r, TOSBTAPI_NM_DISCOVERDEVICE_END);
  nlohmann::json devices = nlohmann::json::array();
  for (const std::string& a : m_Found) devices.push_back(DeviceEntry(*m_World.Find(a)));
  Event(r, TOSBTAPI_NM_DISCOVERDEVICE_END, {{"devices", devices}});
}

void CBtSimulator::FinishName(const CRequest& r, const std::string& address) {
  const SimDevice* d = m_World.Find(address);
  if (!d || !d->inRange || d->Has("name-error"))
    Event(r, TOSBTAPI_NM_DISCOVERNAME_ERROR, {{"status", TOSBT_STATUS_NO_DEVICE}});
  else
    Event(r, TOSBTAPI_NM_DISCOVERNAME_FOUND, {{"name", d->Has("name-empty") ? std::string() : d->name}});
  Event(r, TOSBTAPI_NM_DISCOVERNAME_END);
}

void CBtSimulator::FinishConnect(const CRequest& r, const std::string& address) {
  SimDevice* d = m_World.Find(address);
  int32_t status = TOSBT_STATUS_OK;
  if (!d || !d->inRange || d->Has("connect-error")) {
    status = TOSBT_STATUS_NO_DEVICE;
  } else if (!d->paired) {
    // Pairing: the device takes the PIN set for automatic replies.
    if (d->pairingAccepted && (d->pin.empty() || d->pin == m_World.Pin(address)))
      d->paired = true;
    else
      status = TOSBT_STATUS_AUTH_FAILED;
  }
  if (status == TOSBT_STATUS_OK)
    Event(r, TOSBTAPI_NM_CONNECT_CONNECTED, {{"status", status}, {"cid", m_World.OpenChannel(address, false)}});
  else
    Event(r, TOSBTAPI_NM_CONNECT_ERROR, {{"status", status}});
  Event(r, TOSBTAPI_NM_CONNECT_END, {{"status", status}});
}

void CBtSimulator::ConnectPan(const CRequest& r, const std::string& address) {
  const SimDevice* d = m_World.Find(address);
  if (!d || !d->inRange || !d->isVci)
    return Answer(r, TOSBT_STATUS_NO_DEVICE,
                  {{"error", address + (!d ? " is no device" : !d->inRange ? " is out of range" : " is not a VCI")}});
  if (m_Pan.State() != CPanLink::EState::DOWN && m_Pan.Address() == address) {
    if (m_Pan.State() == CPanLink::EState::UP) return Answer(r, TOSBT_STATUS_OK);
    m_PanWaiters.push_back(r);
    return;
  }
  ResetPan();  // One network at a time: another device's goes first.
  std::string error;
  if (!m_Pan.Connect(address, d->serial, d->vciArgs, error)) return Answer(r, TOSBT_STATUS_NO_DEVICE, {{"error", error}});
  m_PanWaiters.push_back(r);
}

void CBtSimulator::OnPanOutput() {
  const std::string address = m_Pan.Address();
  const CPanLink::EState state = m_Pan.OnOutput();
  if (state == CPanLink::EState::UP && m_uiPanCid == 0) {
    m_uiPanCid = m_World.OpenChannel(address, true);
    for (const CRequest& w : m_PanWaiters) Answer(w, TOSBT_STATUS_OK);
    m_PanWaiters.clear();
  } else if (state == CPanLink::EState::DOWN) {
    std::cerr << "vci-btsim: the simulated VCI of " << address << " ended" << std::endl;
    for (const CRequest& w : m_PanWaiters) Answer(w, TOSBT_STATUS_NO_DEVICE, {{"error", "the simulated VCI did not start"}});
    m_PanWaiters.clear();
    ResetPan();
  }
}

void CBtSimulator::ResetPan() {
  m_Pan.Disconnect();
  m_World.CloseChannel(m_uiPanCid);
  m_uiPanCid = 0;
  for (const CRequest& w : m_PanWaiters) Answer(w, TOSBT_STATUS_NO_DEVICE, {{"error", "the network was reset"}});
  m_PanWaiters.clear();
}

bool CBtSimulator::CloseChannel(uint16_t cid) {
  if (cid == 0 || cid != m_uiPanCid) return m_World.CloseChannel(cid);
  ResetPan();
  return true;
}

void CBtSimulator::DropLinksOutOfRange() {
  for (uint16_t cid : m_World.ChannelsOutOfRange()) CloseChannel(cid);
  const SimDevice* d = m_World.Find(m_Pan.Address());
  if (m_Pan.State() == CPanLink::EState::STARTING && d && !d->inRange) ResetPan();
}

nlohmann::json CBtSimulator::DeviceEntry(const SimDevice& d) const {
  return {{"address", d.address}, {"name", d.name}, {"paired", d.paired}, {"connected", m_World.IsConnected(d.address)}};
}

void CBtSimulator::RunCommand(const std::string& line) {
  const size_t verbEnd = line.find(' ');
  const std::string verb = line.substr(0, verbEnd);
  const std::string argument = verbEnd == std::string::npos ? std::string() : line.substr(verbEnd + 1);
  if (verb.empty()) return;
  std::cout << Command(verb, argument) << std::endl;
}

std::string CBtSimulator::Command(const std::string& verb, const std::string& argument) {
  if (verb == "world" || verb == "device") {
    const nlohmann::json j = nlohmann::json::parse(argument, nullptr, false);
    std::string error;
    if (j.is_discarded()) return "error: " + verb + " needs a JSON object";
    if (!(verb == "world" ? m_World.Merge(j, error) : m_World.MergeDevice(j, error))) return "error: " + error;
    DropLinksOutOfRange();
    return "ok";
  }
  if (verb == "notify") {
    char* end = nullptr;
    const unsigned long code = strtoul(argument.c_str(), &end, 10);
    if (argument.empty() || *end || code > 0xFFFF) return "error: notify needs a number 0..65535";
    return platform::PostStackNotification(code) ? "ok" : "error: no service window of this registry's scope took it";
  }
  if (!argument.empty()) return "error: " + verb + " takes no arguments";
  if (verb == "status") {
    nlohmann::json status = m_World.Describe();
    status["inquiry"] = m_bInquiry;
    status["pan"] = nullptr;
    if (m_Pan.State() != CPanLink::EState::DOWN)
      status["pan"] = {{"address", m_Pan.Address()}, {"state", m_Pan.State() == CPanLink::EState::UP ? "up" : "starting"}};
    return JsonText(status);
  }
  if (verb == "quit") {
    m_bQuit = true;
    return "ok";
  }
  return "error: unknown command '" + verb + "'";
}

}  // namespace btsim
