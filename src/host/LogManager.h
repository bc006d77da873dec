// CLogManager: the process-wide registry of named log channels. The entry
// registers one channel; nothing writes to a channel.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/Mutex.h"
#include "platform/WinTypes.h"

class CLogManager {
 public:
  struct CChannel {
    std::string m_sName;  // At most 31 characters.
    WORD m_wLevel;
    WORD m_wMask;
    BYTE m_bFlag;
  };
  enum { MAX_NAME = 31 };

  static CLogManager& GetInstance();

  // False for an empty name; true when the channel exists already (unchanged)
  // or was created. Names are cut to 31 characters.
  bool Register(const char* name, WORD level, WORD mask, BYTE flag);
  // The channel of that name, or null.
  const CChannel* Find(const char* name) const;

 private:
  CLogManager() = default;
  bool _CreateInstance(const std::string& name, WORD level, WORD mask, BYTE flag) REQUIRES(m_Lock);

  mutable CMutex m_Lock;
  std::map<std::string, std::unique_ptr<CChannel>> m_Channels GUARDED_BY(m_Lock);
};
