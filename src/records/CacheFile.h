// The file form of the discovery engine's cache records (the detail cache
// and the invalid-device list): one archive content, object id word first,
// with the body enciphered under the default key. A file without the
// enciphered flag is not one the service wrote and does not load.
#pragma once

#include <cstdint>
#include <string>

class CArchiveBuffer;
class CSerialize;

namespace cache_file {

// How far a failed load got.
struct LoadFailure {
  enum Step {
    NONE = 0,
    READ_FILE,       // missing or unreadable file
    NO_ID_WORD,      // fewer than 4 bytes
    NOT_ENCIPHERED,  // flag 0x8000 clear
    DECIPHER,        // body not whole 8-byte blocks
    WRONG_ID,        // the file holds another record
    RECORD,          // the record's fields do not read
  };
  Step m_Step = NONE;
  uint32_t m_uiLength = 0;    // bytes in the file
  uint32_t m_uiPosition = 0;  // RECORD: byte at which the read stopped
  uint32_t m_uiFoundId = 0;   // WRONG_ID: the id word found (flag cleared)
  uint32_t m_uiExpectedId = 0;

  // One sentence: the class, the step, how far the read got and why.
  std::string Describe(const std::string& className) const;
};

// Reads `path` into record: load, check the flag, decipher, check the id,
// read. logName names the record in the error lines ("m_VCICachedMap").
// On failure the record holds whatever was read before it; callers reset it.
bool Load(const std::string& path, CSerialize& record, const char* logName, LoadFailure* failure = nullptr);

// Writes the record to `path`: serialise into an 8192-byte archive,
// encipher, and replace the file with platform::ReplaceFileAtomically (its
// folder created when missing), so a crash leaves the old file or the new
// one, never half of one, and two writers of the same file (the service and
// the provisioning tool) do not mix their bytes. 0 or -1; failures are
// logged with logName.
int32_t Store(CSerialize& record, const std::string& path, const char* logName);

// Store's two steps, for a writer that takes the record's bytes under the
// locks that guard it and writes them after releasing them: the record
// serialised into ar (false, logged, when it cannot be), and ar enciphered
// and written (0 or -1, logged).
bool Serialize(CSerialize& record, CArchiveBuffer& ar, const char* logName);
int32_t Write(CArchiveBuffer& ar, const std::string& path, const char* logName);

}  // namespace cache_file
