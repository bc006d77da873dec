// CStackClient: the library's side of the simulated stack, one per loaded
// library. It keeps one connection to the simulator of the registry's scope
// (made at the first call that needs it, made again after the simulator
// went), the sessions of the calling threads, and the asynchronous requests
// still running. Its reader thread takes the simulator's answers to the
// callers waiting for them and turns the simulator's events into writes
// into the caller's memory and posts to the caller's window, through the
// program's own PostMessage.
//
// A request belongs to the session of the thread that made it. A session
// is known to its thread by a number of its own, so that one whose thread
// ended without BtCloseAPI lapses instead of passing to a later thread that
// happens to get the same thread id; the thread's end closes it. Closing
// the session drops its requests under the same lock under which the reader
// writes and posts, so that nothing of them is written or posted after
// BtCloseAPI returns (or after the thread that forgot it has ended);
// unloading the library closes the connection and joins the reader. A
// failed post (the window is gone) is ignored.
#pragma once

#include <cstdint>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "StackSessions.h"
#include "bluetooth/TosBtApi.h"
#include "platform/CondVar.h"
#include "platform/Mutex.h"

class CStackClient {
 public:
  // Where an asynchronous request reports: its window and message, its
  // codes, and the caller's memory that its events fill (null: not this
  // request's).
  struct CPending {
    HWND hWnd;
    UINT uMsg;
    intptr_t lParam;
    uint32_t errorCode;
    uint32_t endCode;
    BTDEVINFOLIST** ppList;
    char* pszName;
    uint16_t* pwCID;
    int32_t* plStatus;
    uint64_t session;  // filled by Call
  };

  static CStackClient& Instance();
  ~CStackClient();
  CStackClient(const CStackClient&) = delete;
  CStackClient& operator=(const CStackClient&) = delete;

  // The calling thread's session: a TOSBT_STATUS_* word; false from Close
  // when the thread has none.
  int32_t Open(HWND hWnd);
  bool Close();
  // Ends a session of any thread (Close's work); false for an unknown one.
  bool EndSession(uint64_t session);

  // Sends a request and waits for its answer (at most TOSBT_MAX_CALL_MS);
  // the answer's status word, TOSBT_STATUS_NO_RADIO when there is no
  // simulator. With pending, the request is an asynchronous one of the
  // calling thread's session (TOSBT_STATUS_NOT_OPEN without one), whose
  // events then come as described.
  int32_t Call(nlohmann::json request, nlohmann::json& answer, const CPending* pending = nullptr);

 private:
  CStackClient();
  bool Connect();  // Requires m_ConnectLock held.
  void Read(int fd);
  void OnEvent(const nlohmann::json& event);  // Requires m_Lock held.
  void EndAll();                              // Requires m_Lock held.

  // The table of sessions Requires m_Lock held; before m_Post, which it finds.
  CStackSessions m_Sessions;
  const CStackSessions::PostMessageFn m_Post;  // the program's; null when it exports none

  // Connecting, and the reader's start and join; taken before m_Lock.
  CMutex m_ConnectLock;
  std::thread m_Reader;  // Guarded by m_ConnectLock.

  CMutex m_Lock;
  CCondVar m_Answered;
  int m_Fd = -1;                                     // Guarded by m_Lock.
  bool m_bBroken = false;                            // the reader ended; Guarded by m_Lock.
  uint64_t m_uiGeneration = 0;                       // connections ended so far; Guarded by m_Lock.
  uint32_t m_uiNextId = 0;                           // Guarded by m_Lock.
  std::map<uint32_t, CPending> m_Pending;            // by request id; Guarded by m_Lock.
  std::map<uint32_t, nlohmann::json> m_Answers;      // by request id; Guarded by m_Lock.
};
