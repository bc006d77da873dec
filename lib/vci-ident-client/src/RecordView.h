// The service's records turned into the library's plain values, so that an
// application never meets an archive record.
#pragma once

#include <vector>

#include "vci-ident/VciInfo.h"

class CBindMap;
class CIdentConnect_Recv;
class CVCIStatus;
class CVCIStatusMap;

namespace vciident {

VciInfo ViewOf(const CVCIStatus& status);
std::vector<VciInfo> ViewOf(const CVCIStatusMap& table);
std::vector<VciBinding> ViewOf(const CBindMap& bindings);
ServiceInfo ServiceOf(const CIdentConnect_Recv& reply);

}  // namespace vciident
