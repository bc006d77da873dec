// A manual-reset event that a poll loop can wait on: a descriptor that is
// readable while the event is set. The client library hands it to an
// application that runs the library's callbacks inside its own loop.
#pragma once

namespace platform {

class CPollEvent {
 public:
  CPollEvent() = default;
  ~CPollEvent();
  CPollEvent(const CPollEvent&) = delete;
  CPollEvent& operator=(const CPollEvent&) = delete;

  // 0, or the errno of the descriptor's creation.
  int Open();
  // The descriptor (close-on-exec, non-blocking); -1 before Open.
  int Fd() const { return m_Fd; }
  // Set and Reset may come from any thread; the caller orders a Set against
  // a Reset that must not undo it (both are single system calls).
  void Set();
  void Reset();

 private:
  int m_Fd = -1;  // Constant after Open.
};

}  // namespace platform
