// The text forms that vci-ident prints: the table of VCIs, one row each, one
// VCI in full, and the lines that tell a change of the table. Module states
// and types show by name, versions in one dotted form.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "vci-ident/VciInfo.h"

// The table with a header line, each column as wide as its widest cell; the
// rows of the serials in highlight are drawn in reverse video (for a
// terminal).
std::string TableText(const std::vector<vciident::VciInfo>& table, const std::set<uint32_t>& highlight = {});
std::string VciText(const vciident::VciInfo& vci, const std::vector<vciident::VciBinding>& bindings);
// The serials whose rows differ between the two tables, or that are new.
std::set<uint32_t> ChangedSerials(const std::vector<vciident::VciInfo>& before,
                                  const std::vector<vciident::VciInfo>& after);
// One line per change from before to after (the VCIs that went first, then
// the others in serial order), as the
// discovery browsers print theirs: "+ 4711 Ethernet 10.0.0.7; state free;
// type KIVO VCI; ..." for a VCI that appeared, "- 4711" for one that went,
// "= 4711 state in use" for each value of one that changed.
std::vector<std::string> ChangeLines(const std::vector<vciident::VciInfo>& before,
                                     const std::vector<vciident::VciInfo>& after);
