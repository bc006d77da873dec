#include "platform/NetConnection.h"

#include "platform/AdapterInfo.h"

namespace {

HRESULT SetUp(uint32_t index, bool up) {
  switch (SetNetLinkUp(index, up)) {
    case ERROR_SUCCESS:
      return S_OK;
    case ERROR_ACCESS_DENIED:
      return E_ACCESSDENIED;
    default:
      return E_FAIL;
  }
}

}  // namespace

HRESULT CNetConnection::Connect() const { return SetUp(m_Index, true); }
HRESULT CNetConnection::Disconnect() const { return SetUp(m_Index, false); }

DWORD FindNetConnections(const std::string& text, std::vector<CNetConnection>& out) {
  out.clear();
  std::vector<CNetLink> links;
  DWORD err = GetNetLinks(links);
  if (err != ERROR_SUCCESS) return err;
  for (const CNetLink& link : links)
    if (!link.Alias.empty() && link.Alias.find(text) != std::string::npos)
      out.emplace_back(link.Index, link.Name, link.Alias);
  return ERROR_SUCCESS;
}
