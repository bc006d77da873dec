// The requests that the service sends to a VCI's application service (port
// 9000) and configuration service (port 9004). Each is its id and a version
// word; the configuration request adds the key of the section it asks for.
#pragma once

#include <cstdint>

#include "serialize/Serialize.h"

// Common form of the requests that carry nothing but their version.
class CVersionOnlyRequest : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };
  explicit CVersionOnlyRequest(uint32_t id) : CSerialize(id), m_uiVersion(CURRENT_VERSION) {}
  bool VisitFields(CFieldVisitor& v) override;
  uint32_t m_uiVersion;
};

// Answered by a CAppList.
class CGetApplications_Send : public CVersionOnlyRequest {
 public:
  CGetApplications_Send();
};

// Answered by a CCompList of the application components.
class CGetAppComps_Send : public CVersionOnlyRequest {
 public:
  CGetAppComps_Send();
};

// Answered by a CCompList of the system components.
class CGetSysComps_Send : public CVersionOnlyRequest {
 public:
  CGetSysComps_Send();
};

// Answered by a CConfig. A request read with version 0 carries no key.
class CGetConfigNEW_Send : public CSerialize {
 public:
  enum : uint32_t { CURRENT_VERSION = 1 };
  explicit CGetConfigNEW_Send(uint32_t key = 0);
  bool VisitFields(CFieldVisitor& v) override;
  uint32_t m_uiVersion;
  uint32_t m_uiKey;
};
