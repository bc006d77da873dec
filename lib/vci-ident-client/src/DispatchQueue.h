// CDispatchQueue: the callbacks due for an application that runs them in its
// own loop. The library's thread queues them, the application's thread takes
// them; a descriptor is readable while any wait.
//
// An application that does not dispatch for a while must not make the queue
// grow without end, and a table or bindings call carries the whole table: at
// most one of each waits, the newest (a newer one drops the waiting one and
// goes last, so that what the application hears stays in the order it
// happened, only without the states that no longer hold), and at most
// kMaxWaitingNotices other calls wait, the oldest dropped beyond that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/Mutex.h"
#include "platform/PollEvent.h"
#include "vci-ident/VciInfo.h"

namespace vciident {

class CDispatchQueue {
 public:
  struct Call {
    enum Kind { TABLE, BINDINGS, ERROR, LOST, BACK };
    Call() = default;
    explicit Call(Kind k) : kind(k) {}
    Kind kind = TABLE;
    std::vector<VciInfo> table;
    std::vector<VciBinding> bindings;
    uint32_t code = 0;
    int reason = 0;
    ServiceInfo service;
  };
  // Errors, losses and returns that may wait besides one table and one
  // bindings call: far more than a service sends between two turns of a
  // loop that is alive.
  static const size_t kMaxWaitingNotices = 64;

  CDispatchQueue() = default;
  CDispatchQueue(const CDispatchQueue&) = delete;
  CDispatchQueue& operator=(const CDispatchQueue&) = delete;

  // 0, or the errno of the descriptor's creation.
  int Open() { return m_Ready.Open(); }
  int Fd() const { return m_Ready.Fd(); }

  void Push(Call&& call);
  // Takes the oldest call; false when none waits.
  bool Pop(Call& call);
  size_t Size() const;
  void Clear();

 private:
  mutable CMutex m_Lock;
  std::deque<Call> m_Calls GUARDED_BY(m_Lock);
  // Set while m_Calls is not empty. Requires m_Lock held for Set and Reset.
  platform::CPollEvent m_Ready;
};

}  // namespace vciident
