// The JSON forms that vci-ident prints: one VCI (with the local interfaces
// that reach each of its addresses, its module state and type as numbers
// and names, its product version in the dotted form of every VCI), the
// bindings, the service.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "vci-ident/VciInfo.h"

nlohmann::json VciJson(const vciident::VciInfo& vci, const std::vector<vciident::VciBinding>& bindings);
nlohmann::json TableJson(const std::vector<vciident::VciInfo>& table,
                         const std::vector<vciident::VciBinding>& bindings);
nlohmann::json BindingsJson(const std::vector<vciident::VciBinding>& bindings);
nlohmann::json ServiceJson(const vciident::ServiceInfo& service);
