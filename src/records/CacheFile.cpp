#include "records/CacheFile.h"

#include "host/ServiceUtilities.h"
#include "platform/Files.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"
#include "serialize/Serialize.h"

namespace {

const uint32_t kIdWordSize = 4;

// To the runtime log, which hands them to the trace log.
void LogError(const char* what, const char* logName) {
  CServiceUtilities::GetInstance().WriteLog(CServiceUtilities::LOG_ERR, "%s %s", what, logName);
}

bool Fail(cache_file::LoadFailure* failure, cache_file::LoadFailure::Step step) {
  if (failure) failure->m_Step = step;
  return false;
}

}  // namespace

namespace cache_file {

std::string LoadFailure::Describe(const std::string& className) const {
  std::string why;
  switch (m_Step) {
    case NONE:
      why = "no failure";
      break;
    case READ_FILE:
      why = "the file is missing or cannot be read";
      break;
    case NO_ID_WORD:
      why = "the file holds " + std::to_string(m_uiLength) + " bytes, no object id word";
      break;
    case NOT_ENCIPHERED:
      why = "the file is not enciphered (flag 0x8000 clear in the id word)";
      break;
    case DECIPHER:
      why = "deciphering with the default key failed: the body of " + std::to_string(m_uiLength - kIdWordSize) +
            " bytes is not whole 8-byte blocks";
      break;
    case WRONG_ID:
      why = "the file holds object id " + std::to_string(m_uiFoundId) + " [" + GetObjectName(m_uiFoundId) +
            "], not " + std::to_string(m_uiExpectedId);
      break;
    case RECORD:
      why = "read failed at byte " + std::to_string(m_uiPosition) + " of " + std::to_string(m_uiLength) + ": " +
            (m_uiPosition == m_uiLength
                 ? std::string("the file ends inside the record (a field, or elements that a count announces, "
                               "are missing)")
                 : "the field there does not fit in the " + std::to_string(m_uiLength - m_uiPosition) +
                       " bytes left, or holds a count, length, version or nested id that is not valid "
                       "(a damaged file, or one enciphered under another key)");
      break;
  }
  return className + ": " + why;
}

bool Load(const std::string& path, CSerialize& record, const char* logName, LoadFailure* failure) {
  if (failure) *failure = LoadFailure();
  if (failure) failure->m_uiExpectedId = record.GetId();
  CArchiveBuffer ar(CArchiveBuffer::LOADING, CArchiveBuffer::DEFAULT_SIZE);
  if (!ar.LoadFromFile(path.c_str())) return Fail(failure, LoadFailure::READ_FILE);
  uint32_t length = ar.GetDataLength();
  if (failure) failure->m_uiLength = length;
  if (length < kIdWordSize) return Fail(failure, LoadFailure::NO_ID_WORD);
  if (!ar.IsEncrypted()) return Fail(failure, LoadFailure::NOT_ENCIPHERED);
  if (!ar.Decrypt(0, 0)) {
    LogError("Error Decrypting", logName);
    return Fail(failure, LoadFailure::DECIPHER);
  }
  ar.Rewind(CArchiveBuffer::LOADING);
  uint32_t id = 0;
  ar.Read(id);
  if (id != record.GetId()) {
    if (failure) failure->m_uiFoundId = id;
    return Fail(failure, LoadFailure::WRONG_ID);
  }
  ar.Rewind(CArchiveBuffer::LOADING);
  if (!record.Serialize(ar)) {
    if (failure) failure->m_uiPosition = ar.GetPosition();
    return Fail(failure, LoadFailure::RECORD);
  }
  return true;
}

int32_t Store(CSerialize& record, const std::string& path, const char* logName) {
  CArchiveBuffer ar(CArchiveBuffer::STORING, CArchiveBuffer::DEFAULT_SIZE);
  if (!Serialize(record, ar, logName)) return -1;
  return Write(ar, path, logName);
}

bool Serialize(CSerialize& record, CArchiveBuffer& ar, const char* logName) {
  if (record.Serialize(ar)) return true;
  LogError("Error Serializing", logName);
  return false;
}

int32_t Write(CArchiveBuffer& ar, const std::string& path, const char* logName) {
  int32_t result = 0;
  // A body that cannot be enciphered is still written; the next load refuses
  // it and the file is dropped then.
  if (!ar.Encrypt(0, 0)) {
    LogError("Error Encrypting", logName);
    result = -1;
  }
  uint8_t* content = nullptr;
  uint32_t length = 0;
  ar.GetContent(content, length);
  if (!ar.IsUsable() || !platform::ReplaceFileAtomically(path, content, length)) {
    LogError("Error Storing", logName);
    return -1;
  }
  return result;
}

}  // namespace cache_file
