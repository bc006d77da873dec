// CRegClientThreadAdapter: the callable that runs a registered client's
// notify thread. The thread object keeps its own copy.
#pragma once

class CRegisteredClient;

class CRegClientThreadAdapter {
 public:
  explicit CRegClientThreadAdapter(CRegisteredClient* pClient) : m_pClient(pClient) {}
  virtual ~CRegClientThreadAdapter() = default;
  CRegClientThreadAdapter(const CRegClientThreadAdapter&) = default;
  CRegClientThreadAdapter& operator=(const CRegClientThreadAdapter&) = default;

  void operator()() const;

 private:
  CRegisteredClient* m_pClient;  // Not owned; outlives the thread.
};
