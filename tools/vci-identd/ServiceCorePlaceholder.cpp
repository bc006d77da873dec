// The core of vci-identd until the client connection manager exists: it only
// logs each call and succeeds. Its replacement is a file of the same size
// whose ServiceCore() forwards the three calls to
// CClientConnectionMgr::GetInstance().
#include "ServiceCore.h"

#include "host/TraceLog.h"

namespace {

class CPlaceholderServiceCore : public IServiceCore {
 public:
  int Initialize() override {
    TraceLog(TRACE_INFO, "CPlaceholderServiceCore::Initialize no connection manager yet");
    return 0;
  }
  int Uninitialize() override {
    TraceLog(TRACE_INFO, "CPlaceholderServiceCore::Uninitialize no connection manager yet");
    return 0;
  }
  int DisconnectClients() override {
    TraceLog(TRACE_INFO, "CPlaceholderServiceCore::DisconnectClients no connection manager yet");
    return 0;
  }
};

}  // namespace

IServiceCore& ServiceCore() {
  static CPlaceholderServiceCore core;
  return core;
}
