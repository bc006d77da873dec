// The simulator's own writers for what a VCI sends: its announcements in
// the three formats and layout versions, and the configuration reply.
//
// They are written field by field rather than through the service's
// records: the legacy announcement is a read-only record in the service,
// a VCI must also be able to send the older layout versions that the
// records never write, and a faulty configuration reply (a key twice) is
// something no record can hold. Writing the bytes independently also lets
// the records be tested against them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "SimIdentity.h"

class CArchiveBuffer;

namespace vcisim {

typedef std::vector<std::pair<std::string, std::string>> NameValues;

// A CArgList record with the given pairs (written in ascending name order,
// the order a reader files them in).
bool WriteArgList(CArchiveBuffer& ar, const NameValues& pairs);
// A CSessionList record. Sessions without an address take vciAddress.
bool WriteSessionList(CArchiveBuffer& ar, const std::vector<SimSession>& sessions, const std::string& vciAddress);
// A CConfig reply holding one section under key (none when pairs is empty),
// or, with repeatKey, the same section twice under the same key.
bool WriteConfig(CArchiveBuffer& ar, int32_t result, uint32_t key, const NameValues& pairs, bool repeatKey);
// The announcement of identity in its format and layout version.
bool WriteAnnouncement(const SimIdentity& identity, CArchiveBuffer& ar);

}  // namespace vcisim
