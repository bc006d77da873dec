#include "IdentClientHandle.h"

namespace vciident {

namespace {

ClientOptions WithListener(ClientOptions options, IIdentClientListener* listener) {
  options.listener = listener;
  return options;
}

}  // namespace

CIdentClientHandle::CIdentClientHandle(const Options& options)
    : m_Options(options), m_Client(WithListener(options.client, this)) {}

int CIdentClientHandle::Open() { return InLoop() ? m_Queue.Open() : 0; }

int CIdentClientHandle::Connect() {
  // An acknowledgement wait without limit needs the full registration,
  // which carries a trace wish too (off unless the application asked).
  const bool statesWish = m_Options.persistWish || m_Options.client.noReplyTimeout;
  return m_Client.Connect(nullptr, statesWish ? 0u : static_cast<uint32_t>(CONNECT_KEEP_TRACE_SETTING));
}

int CIdentClientHandle::Disconnect() {
  const int iRet = m_Client.Disconnect();
  // No call comes after the disconnection: none of those still waiting
  // either, even when a callback of Dispatch disconnected.
  if (iRet != RESULT_IN_CALLBACK) m_Queue.Clear();
  return iRet;
}

int CIdentClientHandle::Dispatch() {
  if (!InLoop()) return RESULT_BAD_ARGUMENT;
  Call call;
  // The calls queued meanwhile wait for the next turn of the loop, so that a
  // busy service cannot keep the loop here.
  for (size_t due = m_Queue.Size(); due > 0 && m_Queue.Pop(call); --due) {
    switch (call.kind) {
      case Call::TABLE: RunTable(call.table); break;
      case Call::BINDINGS: RunBindings(call.bindings); break;
      case Call::ERROR: RunError(call.code); break;
      case Call::LOST: RunLost(call.reason); break;
      case Call::BACK: RunBack(call.service); break;
    }
  }
  return 0;
}

void CIdentClientHandle::OnTableChanged(const std::vector<VciInfo>& table) {
  if (!InLoop()) return RunTable(table);
  Call call{Call::TABLE};
  call.table = table;
  m_Queue.Push(std::move(call));
}

void CIdentClientHandle::OnBindingsChanged(const std::vector<VciBinding>& bindings) {
  if (!InLoop()) return RunBindings(bindings);
  Call call{Call::BINDINGS};
  call.bindings = bindings;
  m_Queue.Push(std::move(call));
}

void CIdentClientHandle::OnServiceError(uint32_t code) {
  if (!InLoop()) return RunError(code);
  Call call{Call::ERROR};
  call.code = code;
  m_Queue.Push(std::move(call));
}

void CIdentClientHandle::OnServiceLost(int reason) {
  if (!InLoop()) return RunLost(reason);
  Call call{Call::LOST};
  call.reason = reason;
  m_Queue.Push(std::move(call));
}

void CIdentClientHandle::OnServiceBack(const ServiceInfo& service) {
  if (!InLoop()) return RunBack(service);
  Call call{Call::BACK};
  call.service = service;
  m_Queue.Push(std::move(call));
}

// The C interface's handles of the values are the library's own values.
void CIdentClientHandle::RunTable(const std::vector<VciInfo>& table) {
  if (const auto& cb = m_Options.onTable; cb.function)
    cb.function(Self(), reinterpret_cast<const vci_ident_table*>(&table), cb.userdata);
}

void CIdentClientHandle::RunBindings(const std::vector<VciBinding>& bindings) {
  if (const auto& cb = m_Options.onBindings; cb.function)
    cb.function(Self(), reinterpret_cast<const vci_ident_bindings*>(&bindings), cb.userdata);
}

void CIdentClientHandle::RunError(uint32_t code) {
  if (const auto& cb = m_Options.onError; cb.function) cb.function(Self(), code, cb.userdata);
}

void CIdentClientHandle::RunLost(int reason) {
  if (const auto& cb = m_Options.onLost; cb.function) cb.function(Self(), reason, cb.userdata);
}

void CIdentClientHandle::RunBack(const ServiceInfo& service) {
  if (const auto& cb = m_Options.onBack; cb.function)
    cb.function(Self(), reinterpret_cast<const vci_ident_service*>(&service), cb.userdata);
}

}  // namespace vciident
