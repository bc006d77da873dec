#include "DispatchQueue.h"

#include <algorithm>

namespace vciident {

namespace {

typedef CMutexLock<CMutex> Lock;

bool CarriesState(CDispatchQueue::Call::Kind kind) {
  return kind == CDispatchQueue::Call::TABLE || kind == CDispatchQueue::Call::BINDINGS;
}

}  // namespace

void CDispatchQueue::Push(Call&& call) {
  Lock lock(m_Lock);
  const bool wasEmpty = m_Calls.empty();
  if (CarriesState(call.kind)) {
    const auto older = std::find_if(m_Calls.begin(), m_Calls.end(), [&](const Call& c) { return c.kind == call.kind; });
    if (older != m_Calls.end()) m_Calls.erase(older);
  } else if (std::count_if(m_Calls.begin(), m_Calls.end(), [](const Call& c) { return !CarriesState(c.kind); }) >=
             static_cast<std::ptrdiff_t>(kMaxWaitingNotices)) {
    m_Calls.erase(std::find_if(m_Calls.begin(), m_Calls.end(), [](const Call& c) { return !CarriesState(c.kind); }));
  }
  m_Calls.push_back(std::move(call));
  if (wasEmpty) m_Ready.Set();
}

bool CDispatchQueue::Pop(Call& call) {
  Lock lock(m_Lock);
  if (m_Calls.empty()) return false;
  call = std::move(m_Calls.front());
  m_Calls.pop_front();
  if (m_Calls.empty()) m_Ready.Reset();
  return true;
}

size_t CDispatchQueue::Size() const {
  Lock lock(m_Lock);
  return m_Calls.size();
}

void CDispatchQueue::Clear() {
  Lock lock(m_Lock);
  m_Calls.clear();
  m_Ready.Reset();
}

}  // namespace vciident
