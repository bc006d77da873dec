#include "FramePrint.h"

#include <string>

#include "RecordDecode.h"
#include "ToolCommand.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

namespace tool {

nlohmann::ordered_json ContentToJson(CArchiveBuffer& archive) {
  archive.Rewind(CArchiveBuffer::LOADING);
  uint8_t* data = nullptr;
  uint32_t length = 0;
  // GetContent measures up to the cursor; the loaded bytes end at the data end.
  archive.GetContent(data, length);
  length = archive.GetDataLength();
  nlohmann::ordered_json out;
  out["length"] = length;
  if (length >= 4 && data != nullptr) {
    const uint32_t id = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                        (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
    out["id"] = id;
    out["name"] = GetObjectName(id);
    out["enciphered"] = (id & CArchiveBuffer::ENCRYPTED_FLAG) != 0;
  }
  out["hex"] = data != nullptr ? ToHex(data, length) : std::string();
  if (length >= 4) {
    nlohmann::ordered_json record;
    std::string err;
    if (DecodeArchive(archive, record, err))
      out["record"] = record;
    else
      out["decode_error"] = err;
  }
  archive.Rewind(CArchiveBuffer::LOADING);
  return out;
}

}  // namespace tool
