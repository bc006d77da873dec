// CPanLink: the PC's Bluetooth network adapter and, while a personal-area
// network is connected, the VCI at its far end.
//
// The adapter is a veth pair. The PC end (default "bnep0") carries the alias
// "Bluetooth Personal Area Network" and 192.168.178.1/24 and starts down, as
// a Windows adapter whose network connection is switched off; the service
// switches it on by setting the link up. The other end ("<PC end>-vci")
// waits in the simulator's namespace. Connect starts a child in a network
// namespace of its own (unshare -n), moves that end into it once the child
// has said that its namespace exists, and the child gives it
// 192.168.178.2/24 and runs vci-sim there, announcing through it. Disconnect
// stops vci-sim, and the child moves the end back before it exits, so the PC
// end keeps its index, alias, address and up or down state throughout.
//
// Used from the simulator's one thread; not copyable (it owns a child).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace btsim {

class CPanLink {
 public:
  enum class EState { DOWN, STARTING, UP };

  CPanLink(const std::string& pcInterface, const std::string& vciSimPath);
  // Disconnects and deletes the pair.
  ~CPanLink();
  CPanLink(const CPanLink&) = delete;
  CPanLink& operator=(const CPanLink&) = delete;

  // Makes the pair afresh (an adapter of that name is replaced).
  bool Create(std::string& error);

  // Starts the VCI of that device behind the link (STARTING); its progress
  // comes through OnOutput. False when no child could be started.
  bool Connect(const std::string& address, uint32_t serial, const std::vector<std::string>& vciArgs,
               std::string& error);
  // The child's output to watch while it runs; -1 when none runs.
  int OutputFd() const { return m_Out; }
  // Reads what the child wrote and moves on: UP once vci-sim is ready, DOWN
  // when the child ended first (a failed start).
  EState OnOutput();
  // Stops the VCI and waits until the end is back; DOWN afterwards.
  void Disconnect();

  EState State() const { return m_State; }
  const std::string& Address() const { return m_Address; }  // of the device while not DOWN
  const std::string& Interface() const { return m_PcEnd; }

 private:
  void Reap();

  const std::string m_PcEnd;
  const std::string m_VciEnd;
  const std::string m_VciSim;
  EState m_State = EState::DOWN;
  std::string m_Address;
  pid_t m_Child = -1;
  int m_In = -1;   // the child's standard input (and vci-sim's)
  int m_Out = -1;  // the child's standard output (and vci-sim's)
  bool m_bMoved = false;  // the end went into the child's namespace
  std::string m_Buffer;
};

}  // namespace btsim
