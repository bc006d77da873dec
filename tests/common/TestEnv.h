// Test scaffolding shared by every test program: scratch folders, a private
// registry file, and private network namespaces.
#pragma once

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace testenv {

// A fresh folder under /tmp, removed with everything in it on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return m_Path; }
  std::string File(const std::string& name) const { return m_Path + "/" + name; }

 private:
  std::string m_Path;
};

// Writes text to path (creating the folder part). Fails the test on error.
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

// Points $VCI_IDENT_REGISTRY at a registry file of the scratch folder for the
// object's lifetime and writes the given text into it (no file when text is
// null).
class ScopedRegistry {
 public:
  ScopedRegistry(const ScratchDir& dir, const char* text);
  ~ScopedRegistry();
  const std::string& Path() const { return m_Path; }

 private:
  std::string m_Path;
  std::string m_Old;
  bool m_HadOld;
};

// Moves the calling process into a network namespace of its own with only a
// loopback interface, which is brought up. As root that is a plain
// CLONE_NEWNET; otherwise a user namespace is created first. Must be called
// before the process starts any thread. Returns false with the reason when
// the system does not allow it (the caller then skips its test).
bool EnterPrivateNetNamespace(std::string* why);

// Runs a shell command (inside the namespace the process is in); returns its
// exit status.
int Shell(const std::string& command);
// The same, failing the test unless the command succeeds.
void Sh(const std::string& command);

// A veth pair a-b in the current namespace, deleted with the object.
class VethPair {
 public:
  VethPair(const std::string& a, const std::string& b);
  ~VethPair();
  VethPair(const VethPair&) = delete;
  VethPair& operator=(const VethPair&) = delete;

 private:
  std::string m_A;
};

// Enters the private network namespace before any test of the program
// starts a thread; every test then runs in it (ctest starts one process per
// test, so each gets a fresh one). Register it with
// ::testing::AddGlobalTestEnvironment.
class NetNamespaceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
};

// The descriptors the process has open.
std::set<int> OpenDescriptors();

// Waits until the interface reports its carrier (a veth end gets it a moment
// after its peer comes up); false if it has not after a minute, which only a
// broken set-up takes.
bool WaitForCarrier(const std::string& name);

}  // namespace testenv

// Skips the current test unless a private network namespace could be entered.
#define VCI_REQUIRE_NET_NAMESPACE()                                     \
  do {                                                                  \
    std::string why_;                                                   \
    if (!testenv::EnterPrivateNetNamespace(&why_)) GTEST_SKIP() << why_; \
  } while (0)
