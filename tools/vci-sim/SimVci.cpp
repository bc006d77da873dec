#include "SimVci.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "SimWire.h"
#include "platform/Mutex.h"
#include "records/AppList.h"
#include "records/CompList.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "service_clients/ServiceRequests.h"
#include "transport/ServerSocket.h"
#include "transport/SocketTypes.h"

namespace vcisim {

namespace {

const char* const kFaultNames[FAULT_COUNT] = {"refuse", "no-answer", "close", "garbage",
                                              "truncate", "bad-cipher", "duplicate-key"};

// The accepted connection that a server socket of this process holds from
// remoteAddress to (localAddress, port). The server socket keeps it to
// itself; the faults that must act on the wire (close, truncate, give up)
// find it this way. One conversation per server socket at a time, and every
// VCI has an address of its own, so at most one socket matches.
int FindAcceptedSocket(const std::string& localAddress, uint16_t port, const std::string& remoteAddress) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  struct in_addr local, remote;
  if (inet_pton(AF_INET, localAddress.c_str(), &local) != 1 || inet_pton(AF_INET, remoteAddress.c_str(), &remote) != 1) {
    closedir(dir);
    return -1;
  }
  while (struct dirent* e = readdir(dir)) {
    int fd = atoi(e->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    struct sockaddr_in a {}, b {};
    socklen_t la = sizeof a, lb = sizeof b;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &la) != 0 || a.sin_family != AF_INET) continue;
    if (a.sin_addr.s_addr != local.s_addr || ntohs(a.sin_port) != port) continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&b), &lb) != 0 || b.sin_addr.s_addr != remote.s_addr) continue;
    found = fd;
    break;
  }
  closedir(dir);
  return found;
}

// The id word at the start of an archive's content, or 0.
uint32_t PeekId(const CArchiveBuffer& ar) {
  uint8_t* data;
  uint32_t length;
  ar.GetContent(data, length);
  if (data == nullptr || ar.GetDataLength() < 4) return 0;
  return static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
}

CAppVersion MakeAppVersion(const SimAppEntry& e) { return CAppVersion(e.name, e.version); }

}  // namespace

const char* FaultName(Fault fault) { return fault < FAULT_COUNT ? kFaultNames[fault] : "?"; }

bool ParseFault(const std::string& text, Fault& fault) {
  for (int i = 0; i < FAULT_COUNT; ++i) {
    if (text == kFaultNames[i]) {
      fault = static_cast<Fault>(i);
      return true;
    }
  }
  return false;
}

CSimVci::CSimVci(const SimIdentity& identity, bool bEncryptReplies, int verbosity)
    : m_Identity(identity),
      m_bEncryptReplies(bEncryptReplies),
      m_iVerbosity(verbosity),
      m_uiDeviceToken(identity.deviceToken),
      m_uiModuleState(identity.moduleState) {
  for (auto& f : m_Faults) f = false;
}

CSimVci::~CSimVci() { Stop(); }

int CSimVci::Start() {
  CMutexLock guard(m_ServiceLock);
  m_bStarted = true;
  if (m_Faults[FAULT_REFUSE]) return 0;
  return OpenServices();
}

void CSimVci::Stop() {
  CMutexLock guard(m_ServiceLock);
  CloseServices();
  m_bStarted = false;
}

int CSimVci::OpenServices() {
  if (m_pAppServer) return 0;
  m_pAppListener.reset(new CService(*this, APP_PORT));
  m_pCfgListener.reset(new CService(*this, CFG_PORT));
  m_pAppServer.reset(new CServerSocket(m_pAppListener.get()));
  m_pCfgServer.reset(new CServerSocket(m_pCfgListener.get()));
  m_pAppServer->SetLocalAddress(m_Identity.address);
  m_pCfgServer->SetLocalAddress(m_Identity.address);
  int iRet = m_pAppServer->Initialize(SOCKTYPE_TCP, APP_PORT, false);
  if (iRet == 0) iRet = m_pCfgServer->Initialize(SOCKTYPE_TCP, CFG_PORT, false);
  if (iRet != 0) {
    fprintf(stderr, "vci-sim: %u: cannot serve on %s (ports %d, %d): error %d\n", m_Identity.serial,
            m_Identity.address.c_str(), APP_PORT, CFG_PORT, iRet);
    CloseServices();
  }
  return iRet;
}

void CSimVci::CloseServices() {
  m_bClosing = true;
  {
    CMutexLock wait(m_WaitLock);
    m_WaitCond.NotifyAll();
  }
  if (m_pAppServer) m_pAppServer->Shutdown();
  if (m_pCfgServer) m_pCfgServer->Shutdown();
  m_pAppServer.reset();
  m_pCfgServer.reset();
  m_pAppListener.reset();
  m_pCfgListener.reset();
  m_bClosing = false;
}

void CSimVci::SetFault(Fault fault, bool on) {
  if (fault >= FAULT_COUNT) return;
  if (fault != FAULT_REFUSE) {
    m_Faults[fault] = on;
    // Lets a listener that waits without answering notice the change.
    CMutexLock wait(m_WaitLock);
    m_WaitCond.NotifyAll();
    return;
  }
  CMutexLock guard(m_ServiceLock);
  m_Faults[fault] = on;
  if (!m_bStarted) return;
  if (on)
    CloseServices();
  else
    OpenServices();
}

void CSimVci::SetDeviceToken(uint64_t token) {
  CMutexLock guard(m_IdentityLock);
  m_uiDeviceToken = token;
}

void CSimVci::SetModuleState(uint32_t state) {
  CMutexLock guard(m_IdentityLock);
  m_uiModuleState = state;
}

std::string CSimVci::DescribeJson() const {
  uint64_t token;
  uint32_t state;
  {
    CMutexLock guard(m_IdentityLock);
    token = m_uiDeviceToken;
    state = m_uiModuleState;
  }
  std::string faults;
  for (int i = 0; i < FAULT_COUNT; ++i) {
    if (!m_Faults[i]) continue;
    if (!faults.empty()) faults += ",";
    faults += std::string("\"") + kFaultNames[i] + "\"";
  }
  char buf[512];
  snprintf(buf, sizeof buf,
           "{\"serial\":%u,\"address\":\"%s\",\"device_token\":\"%s\",\"module_state\":%u,\"announcing\":%s,"
           "\"phase_ms\":%u,\"reply_delay_ms\":%u,\"reply_result\":%d,\"faults\":[%s]}",
           m_Identity.serial, m_Identity.address.c_str(), FormatToken(token).c_str(), state,
           m_bAnnouncing ? "true" : "false", m_uiPhaseMs, m_uiReplyDelayMs.load(), m_iReplyResult.load(), faults.c_str());
  return buf;
}

bool CSimVci::BuildAnnouncement(CArchiveBuffer& ar) const {
  SimIdentity now = m_Identity;
  {
    CMutexLock guard(m_IdentityLock);
    now.deviceToken = m_uiDeviceToken;
    now.moduleState = m_uiModuleState;
  }
  return WriteAnnouncement(now, ar);
}

bool CSimVci::Pause(uint32_t ms) {
  CMutexLock lock(m_WaitLock);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!m_bClosing) {
    if (!m_WaitCond.WaitUntil(m_WaitLock, until)) break;
  }
  return !m_bClosing;
}

bool CSimVci::HandleRequest(uint16_t port, CArchiveBuffer& request, CArchiveBuffer& reply,
                            const std::string& remoteAddress) {
  if (request.IsEncrypted() && !request.Decrypt(0, 0)) {
    Log("request from %s on port %u does not decipher", remoteAddress.c_str(), port);
  }
  request.Rewind(CArchiveBuffer::LOADING);

  if (uint32_t delay = m_uiReplyDelayMs.load()) {
    if (!Pause(delay)) return false;
  }
  if (m_Faults[FAULT_NO_ANSWER]) {
    // Holds the conversation until the client gives up (closes its side),
    // the fault is switched off, or the services close.
    int fd = FindAcceptedSocket(m_Identity.address, port, remoteAddress);
    Log("request from %s on port %u: not answering", remoteAddress.c_str(), port);
    while (m_Faults[FAULT_NO_ANSWER] && !m_bClosing) {
      if (fd >= 0) {
        struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
        // The client's close; the server socket then finds it too.
        if (poll(&p, 1, 100) > 0) return false;
      } else if (!Pause(100) && m_bClosing) {
        return false;
      }
    }
    if (m_bClosing) return false;
  }
  if (m_Faults[FAULT_CLOSE]) {
    int fd = FindAcceptedSocket(m_Identity.address, port, remoteAddress);
    if (fd >= 0) {
      shutdown(fd, SHUT_WR);
      Log("request from %s on port %u: closed before the reply", remoteAddress.c_str(), port);
      return false;
    }
  }
  if (m_Faults[FAULT_GARBAGE]) {
    std::minstd_rand random(std::random_device{}());
    // Random bytes, but never flagged as enciphered, so that they reach
    // the client's reader.
    for (int i = 0; i < 24; ++i) reply.Write(static_cast<unsigned char>(i == 1 ? random() & 0x7F : random() & 0xFF));
    Log("request from %s on port %u: answered with garbage", remoteAddress.c_str(), port);
    return true;
  }

  std::string requestName, replyName;
  WriteReply(port, request, reply, requestName, replyName);
  if (m_bEncryptReplies || m_Faults[FAULT_BAD_CIPHER]) reply.Encrypt(0, 0);
  if (m_Faults[FAULT_BAD_CIPHER]) {
    // One byte more makes the body's length no multiple of the cipher's
    // block, so deciphering it fails.
    reply.Write(static_cast<unsigned char>(0));
  }
  if (m_Faults[FAULT_TRUNCATE]) {
    int fd = FindAcceptedSocket(m_Identity.address, port, remoteAddress);
    if (fd >= 0) {
      uint8_t* frame;
      uint32_t length;
      reply.GetFrame(frame, length);
      ssize_t sent = send(fd, frame, length / 2 < 4 ? 4 : length / 2, MSG_NOSIGNAL);
      (void)sent;
      shutdown(fd, SHUT_WR);
      Log("request from %s on port %u: %s answered with a truncated %s", remoteAddress.c_str(), port,
          requestName.c_str(), replyName.c_str());
      return false;
    }
  }
  Log("request from %s on port %u: %s answered with %s result %d%s", remoteAddress.c_str(), port,
      requestName.c_str(), replyName.c_str(), m_iReplyResult.load(), m_bEncryptReplies ? " (enciphered)" : "");
  return true;
}

void CSimVci::WriteReply(uint16_t port, CArchiveBuffer& request, CArchiveBuffer& reply, std::string& requestName,
                         std::string& replyName) {
  const uint32_t id = PeekId(request);
  requestName = GetObjectName(id);
  const int32_t result = m_iReplyResult.load();
  bool ok = false;
  if (port == APP_PORT && id == OBJID_CGetApplications_Send) {
    CGetApplications_Send req;
    if (req.Serialize(request)) {
      CAppList apps;
      for (const SimAppEntry& e : m_Identity.applications) apps.Add(CAppList::CApp(MakeAppVersion(e)));
      apps.SetResult(result);
      ok = apps.Serialize(reply);
      replyName = "CAppList";
    }
  } else if (port == APP_PORT && (id == OBJID_CGetAppComps_Send || id == OBJID_CGetSysComps_Send)) {
    CGetAppComps_Send appReq;
    CGetSysComps_Send sysReq;
    bool isApp = id == OBJID_CGetAppComps_Send;
    if (isApp ? appReq.Serialize(request) : sysReq.Serialize(request)) {
      CCompList comps;
      for (const SimAppEntry& e : isApp ? m_Identity.appComponents : m_Identity.systemComponents)
        comps.Add(CCompList::CComp(MakeAppVersion(e)));
      comps.SetResult(result);
      ok = comps.Serialize(reply);
      replyName = "CCompList";
    }
  } else if (port == CFG_PORT && id == OBJID_CGetConfigNEW_Send) {
    CGetConfigNEW_Send req;
    if (req.Serialize(request)) {
      NameValues values;
      if (req.m_uiKey == PRODUCT_SECTION_KEY) {
        char type[16];
        snprintf(type, sizeof type, "%u", m_Identity.moduleType);
        values = {{"ProductVersion", m_Identity.productVersion},
                  {"ProductDate", m_Identity.productDate},
                  {"ModuleType", type}};
      }
      // A section this VCI does not have is answered with an empty
      // configuration, as a VCI without it would.
      ok = WriteConfig(reply, result, req.m_uiKey, values, m_Faults[FAULT_DUPLICATE_KEY]);
      replyName = "CConfig";
    }
  }
  if (!ok) {
    // Unknown, misdirected or unreadable requests: the request's own id and
    // the result -1, nothing else.
    reply.Rewind(CArchiveBuffer::STORING);
    reply.Write(id & ~CArchiveBuffer::ENCRYPTED_FLAG);
    reply.Write(static_cast<int32_t>(-1));
    replyName = "a failure reply";
  }
}

void CSimVci::Log(const char* format, ...) const {
  if (m_iVerbosity < 1) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  fprintf(stderr, "vci-sim: [%u %s] %s\n", m_Identity.serial, m_Identity.address.c_str(), line);
}

int CSimVci::CService::OnDataReceived(CArchiveBuffer& request, CArchiveBuffer& reply,
                                      const std::string& remoteAddress, const std::string& localAddress) {
  (void)localAddress;
  // Nothing to send: a non-zero result keeps the server socket from
  // sending, and it then finds the connection closed.
  return m_Vci.HandleRequest(m_usPort, request, reply, remoteAddress) ? 0 : -1;
}

bool CSimVci::CService::OnErrorDetected(int code) {
  (void)code;
  // Keep serving whatever a client did.
  return false;
}

}  // namespace vcisim
