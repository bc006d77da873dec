// CBtSimulator: the simulated Bluetooth stack's radio. It owns the world,
// serves the library and the companion program on the stack's socket
// (BtSimWire.h), times the inquiries, name requests and connects, runs the
// personal-area network (CPanLink), takes control commands on standard input
// and, when asked, starts the service in its "-t" mode and tells it the
// stack's state.
//
// Everything runs on the thread that calls Run: one poll loop over the
// socket, its clients, standard input, the network's child and the
// service's readiness, with the pending notifications as timers. So the
// members need no lock, and a command, a request and a timer never overlap.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BtWorld.h"
#include "PanLink.h"

namespace btsim {

// The "commands" section of vci-btsim --help.
extern const char kCommandHelp[];

class CBtSimulator {
 public:
  struct COptions {
    std::string panInterface = "bnep0";
    std::string vciSimPath;
    std::string servicePath;        // started with "-t" when not empty
    std::vector<unsigned> startCodes;  // posted at start (once the started service is ready)
    int verbosity = 0;
  };

  CBtSimulator(const CBtWorld& world, const COptions& options);
  ~CBtSimulator();
  CBtSimulator(const CBtSimulator&) = delete;
  CBtSimulator& operator=(const CBtSimulator&) = delete;

  // Makes the adapter and the socket, says "vci-btsim: ready: ..." on
  // standard output and serves until "quit", SIGTERM or SIGINT (blocked by
  // the caller before any thread starts). The exit status: 0 after a stop,
  // 1 when it could not start.
  int Run();

 private:
  typedef std::chrono::steady_clock Clock;
  struct CTimer {
    int client;
    uint32_t req;
    std::function<void()> fire;
  };
  struct CRequest {  // a request of a client, for its answer and events
    int client;
    uint32_t req;
  };

  bool Start();
  void Serve();
  void FireTimers();
  void OnClient(int fd);
  void DropClient(int fd);
  void OnStdin();
  void OnServiceReady();

  void HandleRequest(int client, const nlohmann::json& request);
  void RunCommand(const std::string& line);
  std::string Command(const std::string& verb, const std::string& argument);

  void Answer(const CRequest& r, int32_t status, nlohmann::json extra = nlohmann::json::object());
  void Event(const CRequest& r, uint32_t code, nlohmann::json extra = nlohmann::json::object());
  void After(uint32_t ms, const CRequest& r, std::function<void()> fire);
  void Abandon(int client, const std::set<uint32_t>& reqs);  // all of the client's when reqs is empty

  void StartInquiry(const CRequest& r);
  enum class EInquiryEnd { DONE, ERROR, CANCELLED };
  void EndInquiry(EInquiryEnd how);
  void FinishName(const CRequest& r, const std::string& address);
  void FinishConnect(const CRequest& r, const std::string& address);
  void ConnectPan(const CRequest& r, const std::string& address);
  void OnPanOutput();
  void ResetPan();
  bool CloseChannel(uint16_t cid);  // false for an unknown CID
  void DropLinksOutOfRange();
  nlohmann::json DeviceEntry(const SimDevice& d) const;
  void PostNotifications(const std::vector<unsigned>& codes);

  const COptions m_Options;
  CBtWorld m_World;
  CPanLink m_Pan;
  int m_Listen = -1;
  int m_Signals = -1;  // signalfd of SIGTERM and SIGINT
  bool m_bStdinOpen = true;
  std::string m_StdinBuffer;
  bool m_bQuit = false;
  std::set<int> m_Clients;
  std::multimap<Clock::time_point, CTimer> m_Timers;  // equal times fire in the order set
  bool m_bInquiry = false;                           // an inquiry runs
  CRequest m_Inquiry = {-1, 0};                      // ... for this request
  std::vector<std::string> m_Found;                  // ... and has found these
  uint16_t m_uiPanCid = 0;                           // the network's channel while it is up
  std::vector<CRequest> m_PanWaiters;                // TosBtPcs runs waiting for the network
  int m_ServiceReady = -1;  // the started service's readiness socket until it said READY=1
  pid_t m_Service = -1;
};

}  // namespace btsim
