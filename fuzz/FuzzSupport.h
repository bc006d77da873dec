// What every fuzz target shares: a private scratch folder with its own
// registry file, a silent trace log, a failure report that survives
// libFuzzer's closing of standard error, archive loading and storing, and
// the rewrite check of the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "records/VCIIdentMsg.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/Serialize.h"

namespace fuzz {

typedef std::vector<uint8_t> Bytes;

// Before the first input (the support defines LLVMFuzzerInitialize): a
// private scratch folder is made (under $TMPDIR, else /dev/shm, else /tmp;
// removed at exit), VCI_IDENT_REGISTRY names a file in it, and the trace
// log is silenced.
// And the process is moved into a network namespace of its own with the
// loopback down, when the system allows it (then this is true).
extern bool g_bPrivateNetwork;
// A path inside the scratch folder.
std::string ScratchPath(const std::string& name);
// Writes (replaces) a file, creating its folder; fails the run when it cannot.
void WriteFile(const std::string& path, const void* data, size_t size);
// Sets a string value under the service's registry key of the scratch file.
void SetRegistryValue(const std::string& name, const std::string& value);
// Makes a scratch folder the service's data location
// (IdentServiceDefaultLocation) and gives its path.
std::string MakeDataLocation(const std::string& name);
// A file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Reports a broken invariant on the standard error saved at start and aborts,
// which libFuzzer records as a finding with its input.
[[noreturn]] void Fail(const char* file, int line, const char* what);
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::Fail(__FILE__, __LINE__, #cond))

// The input taken apart front to back.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_pData(data), m_uiSize(size) {}
  // The next byte, 0 when none is left.
  uint8_t Byte();
  const uint8_t* Data() const { return m_pData; }
  size_t Size() const { return m_uiSize; }

 private:
  const uint8_t* m_pData;
  size_t m_uiSize;
};

// Makes a loading archive hold exactly these bytes as its content, as a
// received frame's content is handed on (the cursor after them); false when
// they do not fit.
bool Fill(CArchiveBuffer& ar, const uint8_t* data, size_t size);
inline bool Fill(CArchiveBuffer& ar, const Bytes& bytes) { return Fill(ar, bytes.data(), bytes.size()); }
// Reads a record from exactly these bytes, as from a received frame's
// content: the archive holds nothing beyond them, so an over-read is caught.
bool Load(CSerialize& record, const uint8_t* data, size_t size);
inline bool Load(CSerialize& record, const Bytes& bytes) { return Load(record, bytes.data(), bytes.size()); }
// The content bytes a record writes; false when the write fails.
bool Store(CSerialize& record, Bytes& out);

// The bytes zero-filled to whole 8-byte blocks and enciphered under the
// default key, as the brand value and the product configuration are.
Bytes EncipherBlocks(const uint8_t* data, size_t size);

// Heap bytes in use now. A record read from n bytes may hold at most
// HeldLimit(n): a count or length that is not checked against the bytes
// that arrived before it is allocated for shows up as far more.
long HeldBytes();
long HeldLimit(size_t inputSize);

template <typename T, typename = void>
struct HasEquality : std::false_type {};
template <typename T>
struct HasEquality<T, std::void_t<decltype(std::declval<const T&>() == std::declval<const T&>())>> : std::true_type {};

// A record that was read writes its newest layout; that reads back, and the
// record read back writes the same bytes again (and compares equal, for a
// class that compares). The announcement sequence counter that nested
// announcements write is reset before each write, so both start alike.
template <typename T>
void CheckRewrite(T& read) {
  Bytes first, second;
  CVCIIdentMsg::SetSequenceCounter(0);
  FUZZ_CHECK(Store(read, first));
  T again;
  FUZZ_CHECK(Load(again, first));
  CVCIIdentMsg::SetSequenceCounter(0);
  FUZZ_CHECK(Store(again, second));
  FUZZ_CHECK(first == second);
  if constexpr (HasEquality<T>::value) FUZZ_CHECK(read == again);
}

}  // namespace fuzz
