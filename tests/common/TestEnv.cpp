#include "common/TestEnv.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace testenv {

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/vci-test-XXXXXX";
  char* p = mkdtemp(tmpl);
  if (!p) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  m_Path = p;
}

ScratchDir::~ScratchDir() {
  if (m_Path.empty()) return;
  boost::system::error_code ec;
  boost::filesystem::remove_all(m_Path, ec);
}

void WriteFile(const std::string& path, const std::string& text) {
  boost::filesystem::path p(path);
  if (p.has_parent_path()) boost::filesystem::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

ScopedRegistry::ScopedRegistry(const ScratchDir& dir, const char* text) : m_Path(dir.File("registry.reg")) {
  const char* old = getenv("VCI_IDENT_REGISTRY");
  m_HadOld = old != nullptr;
  if (old) m_Old = old;
  setenv("VCI_IDENT_REGISTRY", m_Path.c_str(), 1);
  if (text) WriteFile(m_Path, text);
}

ScopedRegistry::~ScopedRegistry() {
  if (m_HadOld)
    setenv("VCI_IDENT_REGISTRY", m_Old.c_str(), 1);
  else
    unsetenv("VCI_IDENT_REGISTRY");
}

static bool WriteProcFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// The first call decides for the whole process: a failure is remembered.
static std::string EnterOnce() {
  if (geteuid() == 0) {
    if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
  } else {
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
      return std::string("user namespaces are not available: ") + strerror(errno);
    WriteProcFile("/proc/self/setgroups", "deny");
    WriteProcFile("/proc/self/uid_map", "0 " + uid + " 1");
    WriteProcFile("/proc/self/gid_map", "0 " + gid + " 1");
  }
  return Shell("ip link set dev lo up") == 0 ? std::string() : "cannot bring lo up";
}

bool EnterPrivateNetNamespace(std::string* why) {
  static const std::string failure = EnterOnce();
  *why = failure;
  return failure.empty();
}

int Shell(const std::string& command) {
  int rc = system(command.c_str());
  if (rc == -1) return -1;
  return WEXITSTATUS(rc);
}

void Sh(const std::string& command) { EXPECT_EQ(0, Shell(command)) << command; }

VethPair::VethPair(const std::string& a, const std::string& b) : m_A(a) {
  Sh("ip link add dev " + a + " type veth peer name " + b);
}

// Deleting one end deletes both.
VethPair::~VethPair() { Shell("ip link del dev " + m_A + " 2>/dev/null"); }

void NetNamespaceEnvironment::SetUp() {
  std::string why;
  EnterPrivateNetNamespace(&why);
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  const int own = dirfd(d);
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.' && atoi(e->d_name) != own) fds.insert(atoi(e->d_name));
  closedir(d);
  return fds;
}

bool WaitForCarrier(const std::string& name) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Shell("ip -o link show dev " + name + " | grep -q LOWER_UP") == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace testenv
