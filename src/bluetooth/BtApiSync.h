// CBtApiSync: the Bluetooth stack's asynchronous requests as blocking
// operations with time limits (timeouts: keys of ident.ini). Each operation
// starts a worker thread that owns a hidden window, posts one command to it,
// and waits for the worker to end; the stack's notifications reach the
// window on the worker thread.
//
// One operation runs at a time: an operation started while a worker exists
// fails at once. Callers come from the Bluetooth discovery thread and from
// command threads; the test for a running worker and the start of the next
// one are one step under m_Lock.
//
// A worker that does not end in time is abandoned rather than killed (a
// Linux thread cannot be killed safely): its window is told to close, which
// ends the stack session and with it every request that could still write
// into the operation's memory, and everything the worker uses lives in its
// per-operation state, which the object never touches again and which goes
// with the worker's last reference. The object keeps only the thread, to
// join it: a later operation reaps the abandoned workers that have ended,
// the destructor joins the rest. A stuck worker is stuck in a stack call,
// which the stack bounds (TOSBT_MAX_CALL_MS), so the destructor waits at most
// about that long.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/BtApi.h"
#include "platform/Event.h"
#include "platform/Mutex.h"

class CBtApiSync : public CBtApi {
 public:
  // Loads the stack library; without it the object stays uninitialised
  // (logged) and every operation fails.
  explicit CBtApiSync(const char* library = TOSBT_LIBRARY_NAME);
  // No operation may be running. Joins the abandoned workers.
  ~CBtApiSync() override;

  // True when the library was loaded.
  bool IsInitialized() const { return m_bInitialized; }

  // The blocking operations. True when the worker ended in time and the
  // stack reported no error (see each).
  bool DiscoverRemoteDevice();
  // name is set (possibly empty) on success.
  bool DiscoverRemoteName(const uint8_t* address, std::string& name);
  // True when the device is connected; cid is then its connection
  // identifier. status: the query's stack status, -1 when no worker started.
  bool CheckConnectState(const uint8_t* address, uint16_t& cid, int32_t& status);
  // Pairs with PIN (at most 16 characters are used); false for a null PIN.
  bool Pair(const uint8_t* address, const char* pin);
  bool Disconnect(uint16_t cid);
  bool DisconnectAll();

  // Forced: the running discovery ends at once as if the stack had ended it
  // (true). Otherwise the stack is asked to cancel; its result.
  bool CancelDiscovery(bool force);
  // Start the stack's companion program to connect the personal-area network
  // to the device of text (an address) or to reset it. ConnectPAN: 0, or -1
  // when the stack's install path cannot be read. ResetPAN: 0.
  int32_t ConnectPAN(const char* text);
  int32_t ResetPAN();

  // Whether the stack holds a link key for the device.
  bool IsPaired(const uint8_t* address) const;

  // Address texts of the devices of the last discovery, in the stack's
  // order; empty when none (a name query releases the list).
  std::vector<std::string> GetDeviceList() const;

  // "%02x:%02x:%02x:%02x:%02x:%02x" over bytes 0 to 5, and back (either case).
  static std::string AddressText(const uint8_t* address);
  static bool ParseAddress(const std::string& text, uint8_t* address);

 private:
  class COperation;
  struct CWorker {
    std::thread thread;
    std::shared_ptr<COperation> op;
    std::shared_ptr<CEvent> ended;  // set by the worker as its last act
  };

  // Starts the worker for op and posts its command; false (with the line
  // failure at level) when no worker could be started.
  bool Begin(const std::shared_ptr<COperation>& op, LPARAM param, int level, const char* failure);
  // Waits for the running worker, at most limit ms. True when it ended by
  // itself (or none runs); the lists it had are the object's again. On a
  // timeout the worker is abandoned and op is reset: its state is no longer
  // the caller's to read.
  bool Finish(std::shared_ptr<COperation>& op, DWORD limit);
  // Asks the worker's window to close and waits without limit.
  void Stop(std::shared_ptr<COperation>& op);
  void ReapAbandoned() REQUIRES(m_Lock);
  // Moves the lists that op's command works on between the object and op.
  void Lend(COperation& op) REQUIRES(m_Lock);
  void TakeBack(COperation& op) REQUIRES(m_Lock);

  static void WorkerMain(std::shared_ptr<COperation> op, std::shared_ptr<CEvent> ended);
  static LRESULT WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

  const bool m_bInitialized;

  mutable CMutex m_Lock;
  std::unique_ptr<CWorker> m_pWorker GUARDED_BY(m_Lock);  // Null between operations.
  std::vector<CWorker> m_Abandoned GUARDED_BY(m_Lock);    // Workers that timed out.
  // The stack's lists from the last queries; lent to the operation whose
  // command replaces them (null meanwhile).
  BTDEVINFOLIST* m_pDevList GUARDED_BY(m_Lock) = nullptr;
  BTCONNECTEDDEVLIST* m_pConnList GUARDED_BY(m_Lock) = nullptr;
  BTCIDLIST* m_pCIDList GUARDED_BY(m_Lock) = nullptr;
};
