#include "FuzzSupport.h"

#include <sanitizer/allocator_interface.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/TraceLog.h"
#include "platform/Registry.h"
#include "serialize/BlowfishCipher.h"
#include "serialize/CipherKey.h"

namespace {

std::string g_Scratch;
// A copy of standard error taken before libFuzzer (-close_fd_mask) points
// descriptor 2 at /dev/null to quiet the code under test.
int g_ReportFd = 2;

void RemoveScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(g_Scratch, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int fd = dup(2);
  if (fd >= 0) g_ReportFd = fd;
  const char* tmp = getenv("TMPDIR");
  struct stat st;
  std::string base = tmp && *tmp ? tmp : stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/vci-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) fuzz::Fail(__FILE__, __LINE__, "no scratch folder");
  g_Scratch = pattern;
  atexit(RemoveScratch);
  setenv("VCI_IDENT_REGISTRY", fuzz::ScratchPath("registry.reg").c_str(), 1);
  SetTraceLogSilenced(true);
  // A network of its own with the loopback down, where it can be had (before
  // any thread exists): whatever connection the code under test makes fails
  // at once and never reaches a program of this machine.
  fuzz::g_bPrivateNetwork = unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0;
  return 0;
}

namespace fuzz {

bool g_bPrivateNetwork = false;

std::string ScratchPath(const std::string& name) { return g_Scratch + "/" + name; }

void WriteFile(const std::string& path, const void* data, size_t size) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f != nullptr && (size == 0 || std::fwrite(data, 1, size, f) == size);
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  if (!ok) Fail(__FILE__, __LINE__, path.c_str());
}

void SetRegistryValue(const std::string& name, const std::string& value) {
  std::string key = std::string("HKEY_LOCAL_MACHINE\\") + VCI_REGISTRY_KEY;
  if (platform::RegistrySetString(key, name, value) != ERROR_SUCCESS) Fail(__FILE__, __LINE__, name.c_str());
}

std::string MakeDataLocation(const std::string& name) {
  const std::string folder = ScratchPath(name);
  std::filesystem::create_directories(folder);
  SetRegistryValue("IdentServiceDefaultLocation", folder);
  return folder;
}

std::string ReadFile(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

void Fail(const char* file, int line, const char* what) {
  dprintf(g_ReportFd, "%s:%d: fuzz check failed: %s\n", file, line, what);
  abort();
}

uint8_t Input::Byte() {
  if (m_uiSize == 0) return 0;
  --m_uiSize;
  return *m_pData++;
}

bool Fill(CArchiveBuffer& ar, const uint8_t* data, size_t size) {
  if (size > UINT32_MAX - 8) return false;
  const uint32_t n = static_cast<uint32_t>(size);
  if (!ar.AllocateData(n)) return false;
  uint8_t* content;
  uint32_t length;
  ar.GetContent(content, length);
  if (n > 0) std::memcpy(content, data, n);
  return true;
}

bool Load(CSerialize& record, const uint8_t* data, size_t size) {
  if (size > UINT32_MAX - 8) return false;
  CArchiveBuffer ar(CArchiveBuffer::LOADING, static_cast<uint32_t>(size));
  if (!Fill(ar, data, size)) return false;
  ar.Rewind(CArchiveBuffer::LOADING);
  return record.Serialize(ar);
}

bool Store(CSerialize& record, Bytes& out) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  if (!record.Serialize(ar)) return false;
  uint8_t* content;
  uint32_t length;
  ar.GetContent(content, length);
  out.assign(content, content + length);
  return true;
}

Bytes EncipherBlocks(const uint8_t* data, size_t size) {
  Bytes blocks(data, data + size);
  blocks.resize((size + 7) / 8 * 8);
  CBlowfishCipher cipher;
  FUZZ_CHECK(cipher.SetKey(GetCipherKey(0, 0), CBlowfishCipher::MAX_KEY_LENGTH) == 0);
  if (!blocks.empty())
    FUZZ_CHECK(cipher.Encrypt(blocks.data(), static_cast<uint32_t>(blocks.size()), "ecb", nullptr) == 0);
  return blocks;
}

long HeldBytes() { return static_cast<long>(__sanitizer_get_current_allocated_bytes()); }

// An archive lets its readers build about ten times its bytes in memory
// beyond a floor (CArchiveBuffer::ChargeMemory); the strings' own bytes and
// the copies that readers make come on top.
long HeldLimit(size_t inputSize) { return 4 * 65536 + 16 * static_cast<long>(inputSize); }

}  // namespace fuzz
