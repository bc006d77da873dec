#pragma once

// The sessions of a Bluetooth stack library (the simulated one and the one
// over BlueZ): one per thread that opened the stack, with the window its
// notifications are posted to, and the program's PostMessage to post them.
// A thread that ends without closing its session ends it on its way out
// (its requests would otherwise live on and write into its memory).
//
// Threads: the table is the owner's to guard (its methods say "Requires
// the owner's lock held"); Current and the thread-end hook are per thread.

#include <cstdint>
#include <map>

#include "platform/WinUser.h"

class CStackSessions {
 public:
  typedef BOOL (*PostMessageFn)(HWND, UINT, WPARAM, LPARAM);
  typedef void (*EndFn)(uint64_t session);

  // onThreadEnd is called with the session of a thread that ends while it
  // holds one, until Stop.
  explicit CStackSessions(EndFn onThreadEnd);
  ~CStackSessions();
  CStackSessions(const CStackSessions&) = delete;
  CStackSessions& operator=(const CStackSessions&) = delete;

  // The program's PostMessage, null when it exports none: a stack library
  // posts its notifications through it.
  PostMessageFn Post() const { return m_Post; }
  // Whether there is one; says so on stderr when not (a session cannot
  // open without it).
  bool CanPost() const;
  // No thread end calls the owner any more; the first thing of its
  // destructor, so that no thread calls into a half-destroyed owner.
  void Stop();

  // The calling thread's session number, 0 for none.
  static uint64_t Current();
  // Opens the calling thread's session, or points an open one at another
  // window. Requires the owner's lock held.
  void Open(HWND hWnd);
  // The calling thread's end no longer ends its session: Close ends it
  // itself (EndSession).
  void Release();
  // Requires the owner's lock held.
  bool IsOpen(uint64_t session) const { return m_Windows.count(session) != 0; }
  bool Erase(uint64_t session) { return m_Windows.erase(session) != 0; }
  void Clear() { m_Windows.clear(); }

 private:
  const PostMessageFn m_Post;  // the program's; null when it exports none
  bool m_bKey = false;         // the thread-end key exists; constant until Stop
  uint64_t m_uiLast = 0;                  // Requires the owner's lock held.
  std::map<uint64_t, HWND> m_Windows;     // by number; Requires the owner's lock held.
};
