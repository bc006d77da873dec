#include "StackClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "BtSimWire.h"
#include "StackLists.h"

namespace {

// A thread that ends without BtCloseAPI ends its session on its way out.
void ThreadEnded(uint64_t session) { CStackClient::Instance().EndSession(session); }

}  // namespace

CStackClient& CStackClient::Instance() {
  // Destroyed when the library is unloaded (or the program ends).
  static CStackClient client;
  return client;
}

CStackClient::CStackClient() : m_Sessions(&ThreadEnded), m_Post(m_Sessions.Post()) {}

CStackClient::~CStackClient() {
  m_Sessions.Stop();
  CMutexLock connecting(m_ConnectLock);
  int fd;
  {
    CMutexLock lock(m_Lock);
    m_Pending.clear();
    m_Sessions.Clear();
    fd = m_Fd;
  }
  if (fd < 0) return;
  shutdown(fd, SHUT_RDWR);  // ends the reader's wait
  m_Reader.join();
  close(fd);
}

int32_t CStackClient::Open(HWND hWnd) {
  if (!m_Sessions.CanPost()) return TOSBT_STATUS_NO_RADIO;
  {
    CMutexLock connecting(m_ConnectLock);
    if (!Connect()) return TOSBT_STATUS_NO_RADIO;
  }
  CMutexLock lock(m_Lock);
  m_Sessions.Open(hWnd);
  return TOSBT_STATUS_OK;
}

bool CStackClient::Close() {
  m_Sessions.Release();
  return EndSession(CStackSessions::Current());
}

bool CStackClient::EndSession(uint64_t session) {
  CMutexLock lock(m_Lock);
  if (!m_Sessions.Erase(session)) return false;
  std::vector<uint32_t> dropped;
  for (auto it = m_Pending.begin(); it != m_Pending.end();) {
    if (it->second.session == session) {
      dropped.push_back(it->first);
      it = m_Pending.erase(it);
    } else {
      ++it;
    }
  }
  // The simulator forgets them too (a running inquiry stops); no answer.
  if (!dropped.empty() && !m_bBroken) btsim::Send(m_Fd, {{"op", "close"}, {"reqs", dropped}});
  return true;
}

bool CStackClient::Connect() {
  {
    CMutexLock lock(m_Lock);
    if (m_Fd >= 0 && !m_bBroken) return true;
  }
  // The simulator went: the old reader has ended (or is ending) by itself.
  if (m_Reader.joinable()) m_Reader.join();
  int fd = btsim::Connect(btsim::SocketName());
  CMutexLock lock(m_Lock);
  if (m_Fd >= 0) close(m_Fd);
  m_Fd = fd;
  m_bBroken = false;
  if (fd < 0) return false;
  m_Reader = std::thread(&CStackClient::Read, this, fd);
  return true;
}

int32_t CStackClient::Call(nlohmann::json request, nlohmann::json& answer, const CPending* pending) {
  {
    CMutexLock connecting(m_ConnectLock);
    if (!Connect()) return TOSBT_STATUS_NO_RADIO;
  }
  CMutexLock lock(m_Lock);
  const uint32_t id = ++m_uiNextId;
  const uint64_t generation = m_uiGeneration;
  request["id"] = id;
  if (pending) {
    if (!m_Sessions.IsOpen(CStackSessions::Current())) return TOSBT_STATUS_NOT_OPEN;
    // Before the request goes: its events may come before this thread wakes.
    m_Pending[id] = *pending;
    m_Pending[id].session = CStackSessions::Current();
  }
  bool answered = !m_bBroken && btsim::Send(m_Fd, request) &&
                  m_Answered.WaitFor(m_Lock, std::chrono::milliseconds(TOSBT_MAX_CALL_MS), [&]() {
                    return m_Answers.count(id) || m_uiGeneration != generation;
                  }) &&
                  m_Answers.count(id);
  const int32_t status = answered ? m_Answers[id].value("status", TOSBT_STATUS_NO_RADIO) : TOSBT_STATUS_NO_RADIO;
  if (answered) answer = std::move(m_Answers[id]);
  m_Answers.erase(id);
  if (status != TOSBT_STATUS_OK) m_Pending.erase(id);
  return status;
}

void CStackClient::Read(int fd) {
  for (;;) {
    nlohmann::json packet;
    if (btsim::Receive(fd, packet) != 1) break;
    CMutexLock lock(m_Lock);
    if (packet.contains("req")) {
      OnEvent(packet);
    } else {
      const uint32_t id = packet.value("id", 0u);
      m_Answers[id] = std::move(packet);
      m_Answered.NotifyAll();
    }
  }
  CMutexLock lock(m_Lock);
  m_bBroken = true;
  ++m_uiGeneration;
  EndAll();
  m_Answered.NotifyAll();
}

// Writes what the event brings into the request's memory, then posts it.
void CStackClient::OnEvent(const nlohmann::json& event) {
  auto it = m_Pending.find(event.value("req", 0u));
  if (it == m_Pending.end()) return;
  const CPending& p = it->second;
  const uint32_t code = event.value("code", 0u);
  if (p.plStatus && event.contains("status")) *p.plStatus = event["status"].get<int32_t>();
  if (p.pwCID && event.contains("cid")) *p.pwCID = event["cid"].get<uint16_t>();
  if (p.pszName && event.contains("name")) {
    const std::string name = event["name"].get<std::string>().substr(0, TOSBT_MAX_NAME_LENGTH);
    memcpy(p.pszName, name.c_str(), name.size() + 1);
  }
  if (p.ppList && event.contains("devices")) {
    void* list = MakeStackList<BTDEVINFO>(event["devices"], true, FillDeviceEntry);
    if (list) *p.ppList = static_cast<BTDEVINFOLIST*>(list);
  }
  m_Post(p.hWnd, p.uMsg, code, p.lParam);
  if (code == p.endCode) m_Pending.erase(it);
}

// The simulator went: every request still running ends with ERROR and END,
// so that no caller waits for a notification that cannot come.
void CStackClient::EndAll() {
  for (const auto& entry : m_Pending) {
    const CPending& p = entry.second;
    if (p.plStatus) *p.plStatus = TOSBT_STATUS_NO_RADIO;
    m_Post(p.hWnd, p.uMsg, p.errorCode, p.lParam);
    m_Post(p.hWnd, p.uMsg, p.endCode, p.lParam);
  }
  m_Pending.clear();
}
