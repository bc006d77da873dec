// Every archive record the service reads, from arbitrary bytes: the first
// byte picks the class, the rest is the record's content as it arrives in a
// frame or a deciphered cache file. A record that reads must hold memory in
// proportion to its bytes and survive the rewrite check.
#include "FuzzSupport.h"

#include "netif/IFList.h"
#include "records/BindMap.h"
#include "records/BluetoothReq.h"
#include "records/Config.h"
#include "records/IdentConnect.h"
#include "records/IdentDisconnect.h"
#include "records/IdentEvent.h"
#include "records/InvalidVCIList.h"
#include "records/LogFile.h"
#include "records/VCICachedMap.h"
#include "records/VCIStatusDynMap.h"
#include "records/VCIStatusMap.h"
#include "service_clients/ServiceRequests.h"

namespace {

template <typename T>
void Check(const uint8_t* data, size_t size) {
  long before = fuzz::HeldBytes();
  T record;
  bool read = fuzz::Load(record, data, size);
  FUZZ_CHECK(fuzz::HeldBytes() - before <= fuzz::HeldLimit(size));
  if (read) fuzz::CheckRewrite(record);
}

// New classes go at the end: the committed seeds name theirs by position.
typedef void (*CheckFn)(const uint8_t*, size_t);
const CheckFn kClasses[] = {
    Check<CArgList::CArg>,        Check<CArgList>,          Check<CSessionList::CSession>,
    Check<CSessionList>,          Check<CVCIStatus>,        Check<CVCIStatusMap>,
    Check<CVCIStatusDynItem>,     Check<CVCIStatusDynMap>,  Check<CBindMap>,
    Check<CVCICachedItem>,        Check<CVCICachedMap>,     Check<CInvalidVCIList>,
    Check<CAppVersion>,           Check<CAppList::CApp>,    Check<CAppList>,
    Check<CCompList::CComp>,      Check<CCompList>,         Check<CConfig>,
    Check<CGetApplications_Send>, Check<CGetAppComps_Send>, Check<CGetSysComps_Send>,
    Check<CGetConfigNEW_Send>,    Check<CIFList::CIF>,      Check<CIFList>,
    Check<CBluetoothReq_Send>,    Check<CBluetoothReq_Recv>, Check<CIdentConnect_Send>,
    Check<CIdentConnect_Recv>,    Check<CIdentDisconnect_Send>, Check<CIdentDisconnect_Recv>,
    Check<CIdentEvent_Send>,      Check<CIdentEvent_Recv>,  Check<CLogFile_Send>,
    Check<CLogFile_Recv>,         Check<CLogFiles_Recv>,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t pick = in.Byte();
  kClasses[pick % (sizeof kClasses / sizeof kClasses[0])](in.Data(), in.Size());
  return 0;
}
