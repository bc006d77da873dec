#include "vci-ident/IdentClient.h"

#include "IdentClientImpl.h"

namespace vciident {

CIdentClient::CIdentClient(const ClientOptions& options) : m_pImpl(new CImpl(options)) {}
CIdentClient::~CIdentClient() = default;
int CIdentClient::Connect(ServiceInfo* service) { return m_pImpl->Connect(service, 0); }
int CIdentClient::Connect(ServiceInfo* service, uint32_t flags) { return m_pImpl->Connect(service, flags); }
int CIdentClient::Query(ServiceInfo* service, std::vector<VciInfo>* table, std::vector<VciBinding>* bindings) {
  return m_pImpl->Query(service, table, bindings);
}
int CIdentClient::Disconnect() { return m_pImpl->Disconnect(); }
bool CIdentClient::IsRegistered() const { return m_pImpl->IsRegistered(); }
ServiceInfo CIdentClient::GetServiceInfo() const { return m_pImpl->GetServiceInfo(); }
std::vector<VciInfo> CIdentClient::GetTable() const { return m_pImpl->GetTable(); }
std::vector<VciBinding> CIdentClient::GetBindings() const { return m_pImpl->GetBindings(); }
uint16_t CIdentClient::GetEventPort() const { return m_pImpl->GetEventPort(); }
int CIdentClient::BluetoothCommand(uint32_t command, uint32_t serial) {
  return m_pImpl->BluetoothCommand(command, serial);
}
int CIdentClient::FetchDataFiles(std::map<std::string, std::vector<uint8_t>>& files, uint32_t* unreadable) {
  return m_pImpl->FetchDataFiles(files, unreadable);
}
uint32_t CIdentClient::GetBluetoothReplyWaitMs() const { return m_pImpl->GetBluetoothReplyWaitMs(); }

}  // namespace vciident
