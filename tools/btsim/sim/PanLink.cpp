#include "PanLink.h"

#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <iostream>

#include "Spawn.h"

namespace btsim {

namespace {

const char kAlias[] = "Bluetooth Personal Area Network";
const char kPcAddress[] = "192.168.178.1/24";
const char kVciAddress[] = "192.168.178.2";

// The child: says that its namespace exists, waits until the end has been
// moved in ("go"), runs vci-sim on it, and moves the end home ($2, the
// simulator's pid) whatever became of vci-sim. "read" takes one line of the
// pipe only, so vci-sim reads the rest of it.
const char kChildScript[] =
    "vcif=$1 home=$2 address=$3; shift 3\n"
    "echo netns\n"
    "read go || exit 1\n"
    "ip link set dev lo up\n"
    "ip addr add \"$address/24\" dev \"$vcif\" && ip link set dev \"$vcif\" up && \"$@\"\n"
    "ip link set dev \"$vcif\" netns \"$home\"\n";

bool Tell(int fd, const std::string& line) {
  return write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

}  // namespace

CPanLink::CPanLink(const std::string& pcInterface, const std::string& vciSimPath)
    : m_PcEnd(pcInterface), m_VciEnd(pcInterface + "-vci"), m_VciSim(vciSimPath) {}

CPanLink::~CPanLink() {
  Disconnect();
  if (if_nametoindex(m_PcEnd.c_str()) != 0) RunProgram({"ip", "link", "del", "dev", m_PcEnd});
}

bool CPanLink::Create(std::string& error) {
  if (if_nametoindex(m_PcEnd.c_str()) != 0) RunProgram({"ip", "link", "del", "dev", m_PcEnd});
  if (!RunProgram({"ip", "link", "add", "dev", m_PcEnd, "type", "veth", "peer", "name", m_VciEnd}) ||
      !RunProgram({"ip", "link", "set", "dev", m_PcEnd, "alias", kAlias}) ||
      !RunProgram({"ip", "addr", "add", kPcAddress, "dev", m_PcEnd})) {
    error = "cannot make the Bluetooth network adapter " + m_PcEnd +
            " (this needs CAP_NET_ADMIN: run as root, or inside unshare -rn)";
    return false;
  }
  return true;
}

bool CPanLink::Connect(const std::string& address, uint32_t serial, const std::vector<std::string>& vciArgs,
                       std::string& error) {
  Disconnect();
  // A child killed from outside took its namespace, and with it the pair.
  if (if_nametoindex(m_VciEnd.c_str()) == 0 && !Create(error)) return false;
  std::vector<std::string> argv = {"unshare", "-n", "sh", "-c", kChildScript, "sh", m_VciEnd,
                                   std::to_string(getpid()), kVciAddress, m_VciSim};
  argv.insert(argv.end(), vciArgs.begin(), vciArgs.end());
  // The fixed options come last, so that they win over vci_args.
  for (const char* a : {"--serial", "", "--interface-kind", "16", "--address", kVciAddress, "--multicast-if", kVciAddress})
    argv.push_back(*a ? a : std::to_string(serial));
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  m_Child = Spawn(argv, {}, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  m_In = in[1];
  m_Out = out[0];
  if (m_Child <= 0) {
    error = "cannot start unshare";
    Reap();
    return false;
  }
  m_Address = address;
  m_bMoved = false;
  m_Buffer.clear();
  m_State = EState::STARTING;
  return true;
}

CPanLink::EState CPanLink::OnOutput() {
  char chunk[512];
  ssize_t n = read(m_Out, chunk, sizeof chunk);
  if (n <= 0) {
    Reap();
    return m_State;
  }
  m_Buffer.append(chunk, static_cast<size_t>(n));
  size_t nl;
  while ((nl = m_Buffer.find('\n')) != std::string::npos) {
    const std::string line = m_Buffer.substr(0, nl);
    m_Buffer.erase(0, nl + 1);
    if (line == "netns" && !m_bMoved) {
      m_bMoved = RunProgram({"ip", "link", "set", "dev", m_VciEnd, "netns", std::to_string(m_Child)});
      // Without the end the child's "read" sees the pipe close and it ends.
      if (!m_bMoved || !Tell(m_In, "go\n")) {
        close(m_In);
        m_In = -1;
      }
    } else if (line.compare(0, 15, "vci-sim: ready:") == 0) {
      m_State = EState::UP;
    } else {
      std::cerr << "vci-btsim: PAN " << m_Address << ": " << line << std::endl;
    }
  }
  return m_State;
}

void CPanLink::Disconnect() {
  if (m_Child <= 0) return;
  // vci-sim reads "quit"; a child still at "read go" sees the pipe close.
  if (m_bMoved && m_In >= 0) Tell(m_In, "quit\n");
  if (m_In >= 0) close(m_In);
  m_In = -1;
  // The output ends when the child and vci-sim have exited, the end home again.
  char chunk[512];
  while (read(m_Out, chunk, sizeof chunk) > 0) {
  }
  Reap();
}

void CPanLink::Reap() {
  if (m_In >= 0) close(m_In);
  if (m_Out >= 0) close(m_Out);
  m_In = m_Out = -1;
  if (m_Child > 0) WaitChild(m_Child);
  m_Child = -1;
  m_State = EState::DOWN;
  m_Address.clear();
}

}  // namespace btsim
