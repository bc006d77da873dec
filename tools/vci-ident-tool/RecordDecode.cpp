#include "RecordDecode.h"

#include <memory>

#include "RecordJson.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

bool DecodeArchive(CArchiveBuffer& ar, nlohmann::ordered_json& out, std::string& err) {
  uint32_t length = ar.GetDataLength();
  if (length < 4) {
    err = "the archive holds " + std::to_string(length) + " bytes, no object id word";
    return false;
  }
  ar.Rewind(CArchiveBuffer::LOADING);
  uint32_t word = 0;
  ar.Read(word);
  bool enciphered = (word & CArchiveBuffer::ENCRYPTED_FLAG) != 0;
  uint32_t id = word & ~CArchiveBuffer::ENCRYPTED_FLAG;
  const RecordJson* entry = recordjson::FindById(id);
  if (!entry) {
    err = "unknown object id " + std::to_string(id) + " [" + GetObjectName(id) + "]";
    return false;
  }
  if (enciphered) {
    if ((length - 4) % 8 != 0) {
      err = std::string(entry->className) + ": enciphered body of " + std::to_string(length - 4) +
            " bytes is not whole 8-byte blocks";
      return false;
    }
    if (!ar.Decrypt(0, 0)) {
      err = std::string(entry->className) + ": deciphering with the default key failed";
      return false;
    }
  }
  ar.Rewind(CArchiveBuffer::LOADING);
  std::unique_ptr<CSerialize> record = entry->make();
  if (!record->Serialize(ar)) {
    uint32_t pos = ar.GetPosition();
    err = std::string(entry->className) + ": read failed at byte " + std::to_string(pos) + " of " +
          std::to_string(length) + ": " +
          (pos == length ? "the input ends inside the record (a field, or elements that a count announces, are missing)"
                         : "the field there does not fit in the " + std::to_string(length - pos) +
                               " bytes left, or holds a count, length or nested id that is not valid");
    return false;
  }
  out = recordjson::ToJson(*record);
  if (enciphered) out["enciphered"] = true;
  return true;
}

bool EncodeArchive(const nlohmann::ordered_json& in, bool encrypt, CArchiveBuffer& ar, std::string& err) {
  std::unique_ptr<CSerialize> record = recordjson::FromJson(in, err);
  if (!record) return false;
  if (in.is_object()) {
    auto it = in.find("enciphered");
    if (it != in.end() && !it->is_boolean()) {
      err = "field \"enciphered\" is not true/false";
      return false;
    }
    if (it != in.end() && it->get<bool>()) encrypt = true;
  }
  ar.Rewind(CArchiveBuffer::STORING);
  if (!record->Serialize(ar)) {
    err = "writing the record failed";
    return false;
  }
  if (encrypt && !ar.Encrypt(0, 0)) {
    err = "enciphering with the default key failed";
    return false;
  }
  return true;
}
