// The engine's cache files, loaded as the engine loads them: decipher, then
// read. The first input byte picks the record (bit 0: detail cache or
// invalid-device list) and what the rest is (bit 1: the file as it is, else
// the deciphered content, which is enciphered here as the service stores it,
// so that mutations reach the record reader instead of the cipher).
#include "FuzzSupport.h"

#include "records/InvalidVCIList.h"
#include "records/VCICachedMap.h"
#include "serialize/ArchiveBuffer.h"

namespace {

const std::string& FilePath() {
  static const std::string path = fuzz::ScratchPath("data_files/cache.bin");
  return path;
}

void WriteCacheFile(const uint8_t* data, size_t size, bool enciphered) {
  CArchiveBuffer ar(CArchiveBuffer::STORING);
  if (enciphered || size < 4 || !ar.WriteRaw(data, static_cast<uint32_t>(size)) || !ar.Encrypt(0, 0)) {
    fuzz::WriteFile(FilePath(), data, size);
    return;
  }
  uint8_t* content;
  uint32_t length;
  ar.GetContent(content, length);
  fuzz::WriteFile(FilePath(), content, length);
}

// A failed load leaves an empty record and says how far it got; a
// successful one stores a file that loads back to the same record.
template <typename T>
void Check(const uint8_t* data, size_t size, bool enciphered) {
  WriteCacheFile(data, size, enciphered);
  long before = fuzz::HeldBytes();
  T record;
  cache_file::LoadFailure why;
  int32_t result = record.Load(FilePath(), &why);
  FUZZ_CHECK(fuzz::HeldBytes() - before <= fuzz::HeldLimit(size));
  FUZZ_CHECK((result == 0) == (why.m_Step == cache_file::LoadFailure::NONE));
  FUZZ_CHECK(!why.Describe("record").empty());
  if (result != 0) {
    FUZZ_CHECK(record.Count() == 0 && record.m_uiVersion == T::CURRENT_VERSION);
    return;
  }
  fuzz::Bytes first, second;
  CVCIIdentMsg::SetSequenceCounter(0);
  FUZZ_CHECK(fuzz::Store(record, first));
  CVCIIdentMsg::SetSequenceCounter(0);
  FUZZ_CHECK(record.Store(FilePath()) == 0);
  T again;
  FUZZ_CHECK(again.Load(FilePath()) == 0);
  CVCIIdentMsg::SetSequenceCounter(0);
  FUZZ_CHECK(fuzz::Store(again, second));
  FUZZ_CHECK(first == second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t pick = in.Byte();
  bool enciphered = (pick & 2) != 0;
  if (pick & 1)
    Check<CInvalidVCIList>(in.Data(), in.Size(), enciphered);
  else
    Check<CVCICachedMap>(in.Data(), in.Size(), enciphered);
  return 0;
}
