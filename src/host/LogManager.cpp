#include "host/LogManager.h"

#include <cstdio>
#include <exception>

CLogManager& CLogManager::GetInstance() {
  static CLogManager instance;
  return instance;
}

bool CLogManager::Register(const char* name, WORD level, WORD mask, BYTE flag) {
  if (!name || !*name) return false;
  std::string key = std::string(name).substr(0, MAX_NAME);
  CMutexLock g(m_Lock);
  if (m_Channels.count(key)) return true;
  return _CreateInstance(key, level, mask, flag);
}

bool CLogManager::_CreateInstance(const std::string& name, WORD level, WORD mask, BYTE flag) {
  try {
    m_Channels[name].reset(new CChannel{name, level, mask, flag});
    return true;
  } catch (const std::exception&) {
    m_Channels.erase(name);
    printf("Exception in CLogManager::_CreateInstance\n");
    return false;
  }
}

const CLogManager::CChannel* CLogManager::Find(const char* name) const {
  if (!name) return nullptr;
  CMutexLock g(m_Lock);
  auto it = m_Channels.find(std::string(name).substr(0, MAX_NAME));
  return it == m_Channels.end() ? nullptr : it->second.get();
}
