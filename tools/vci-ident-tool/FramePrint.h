// The JSON form of one received archive content, shared by send and listen:
// its length, object id and log name, the bytes in hex, and the decoded
// record when the record decoder knows the class.
#pragma once

#include <nlohmann/json.hpp>

class CArchiveBuffer;

namespace tool {
// archive: the received content (any mode); it is rewound to loading.
nlohmann::ordered_json ContentToJson(CArchiveBuffer& archive);
}  // namespace tool
