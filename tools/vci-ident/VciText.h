// The text forms that vci-ident prints: the table of VCIs, one row each, and
// one VCI in full.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "vci-ident/VciInfo.h"

// The table with a header line; the rows of the serials in highlight are
// drawn in reverse video (for a terminal).
std::string TableText(const std::vector<vciident::VciInfo>& table, const std::set<uint32_t>& highlight = {});
std::string VciText(const vciident::VciInfo& vci, const std::vector<vciident::VciBinding>& bindings);
// The serials whose rows differ between the two tables, or that are new.
std::set<uint32_t> ChangedSerials(const std::vector<vciident::VciInfo>& before,
                                  const std::vector<vciident::VciInfo>& after);
