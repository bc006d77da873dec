// cache show|write: the discovery engine's cache files (the detail cache
// valid-module_<brand>.bin and the invalid-device list
// invalid-module_<brand>.bin) read and written the way the service does.
#include <iostream>

#include "RecordJson.h"
#include "ToolCommand.h"
#include "host/TraceLog.h"
#include "records/CacheFile.h"
#include "records/InvalidVCIList.h"
#include "records/VCICachedMap.h"
#include "serialize/ArchiveBuffer.h"
#include "serialize/ObjectId.h"

namespace {

const char kUsage[] =
    "usage: vci-ident-tool cache show FILE\n"
    "       vci-ident-tool cache write JSON OUT\n\n"
    "show reads a detail cache file (valid-module_<brand>.bin, a CVCICachedMap)\n"
    "or an invalid-device list file (invalid-module_<brand>.bin, a\n"
    "CInvalidVCIList) as the service loads it: the body must be enciphered\n"
    "with the default key (flag 0x8000 in the id word). It prints the record\n"
    "as JSON, in the shape decode prints. A file that the service would not\n"
    "load prints the class, how far the read got and why, and exits 1.\n\n"
    "write takes the JSON of one of these two records (as show prints it; JSON\n"
    "- reads standard input) and stores it to OUT as the service stores it:\n"
    "enciphered, through a temporary file of its own renamed over OUT, so that\n"
    "the service storing the same file meanwhile never mixes its bytes in.\n\n"
    "example: vci-ident-tool cache show data_files/valid-module_1.bin\n"
    "         vci-ident-tool cache show data_files/valid-module_1.bin > c.json\n"
    "         vci-ident-tool cache write c.json data_files/valid-module_1.bin\n";

int Run(const std::vector<std::string>& args);
const ToolCommand kCommand{"cache", "show or write the detail cache and invalid-device list files", kUsage, Run};
ToolCommandRegistration g_Registration(kCommand);

// The object id word of a file, flag cleared; false when the file cannot be
// read or holds fewer than 4 bytes.
bool PeekId(const std::string& path, uint32_t& id, std::string& err) {
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  if (!ar.LoadFromFile(path.c_str())) {
    err = "cannot read " + path;
    return false;
  }
  ar.Rewind(CArchiveBuffer::LOADING);
  if (!ar.Read(id)) {
    err = path + " holds " + std::to_string(ar.GetDataLength()) + " bytes, no object id word";
    return false;
  }
  id &= ~CArchiveBuffer::ENCRYPTED_FLAG;
  return true;
}

template <typename T>
int Show(const std::string& path, const char* className) {
  T record;
  cache_file::LoadFailure failure;
  if (record.Load(path, &failure) != 0) return tool::Fail(path + ": " + failure.Describe(className));
  nlohmann::ordered_json out = recordjson::ToJson(record);
  out["enciphered"] = true;
  tool::PrintJson(out);
  return 0;
}

int RunShow(const std::string& path) {
  uint32_t id;
  std::string err;
  if (!PeekId(path, id, err)) return tool::Fail(err);
  if (id == OBJID_CVCICachedMap) return Show<CVCICachedMap>(path, "CVCICachedMap");
  if (id == OBJID_CInvalidVCIList) return Show<CInvalidVCIList>(path, "CInvalidVCIList");
  return tool::Fail(path + " holds object id " + std::to_string(id) + " [" + GetObjectName(id) +
                    "], neither a detail cache (CVCICachedMap, 2163) nor an invalid-device list "
                    "(CInvalidVCIList, 2159)");
}

int RunWrite(const std::string& input, const std::string& out) {
  std::string data, err;
  if (!tool::ReadInput(input, data, err)) return tool::Fail(err);
  nlohmann::ordered_json in = nlohmann::ordered_json::parse(data, nullptr, false);
  if (in.is_discarded()) return tool::Fail("the input is not valid JSON");
  std::unique_ptr<CSerialize> record = recordjson::FromJson(in, err);
  if (!record) return tool::Fail(err);
  int32_t result;
  if (auto* map = dynamic_cast<CVCICachedMap*>(record.get()))
    result = map->Store(out);
  else if (auto* list = dynamic_cast<CInvalidVCIList*>(record.get()))
    result = list->Store(out);
  else
    return tool::Fail("a cache file holds a CVCICachedMap or a CInvalidVCIList, not a " +
                      std::string(recordjson::FindById(record->GetId())->className));
  return result == 0 ? 0 : tool::Fail("storing " + out + " failed");
}

int Run(const std::vector<std::string>& args) {
  if (tool::PrintedHelp(args, kUsage)) return 0;
  // The cache records log their failures to the trace log, which here would
  // be the service's own trace file.
  SetTraceLogSilenced(true);
  if (args.empty()) return tool::UsageError(kCommand, "cache takes 'show' or 'write'");
  if (args[0] == "show") {
    if (args.size() != 2) return tool::UsageError(kCommand, "cache show takes one FILE");
    return RunShow(args[1]);
  }
  if (args[0] == "write") {
    if (args.size() != 3) return tool::UsageError(kCommand, "cache write takes a JSON input and an OUT file");
    return RunWrite(args[1], args[2]);
  }
  return tool::UsageError(kCommand, "unknown cache command '" + args[0] + "'");
}

}  // namespace
