#include "service_clients/VCIServiceClient.h"

CVCIServiceClient::~CVCIServiceClient() { Abort(); }

int CVCIServiceClient::Abort() {
  CAppServiceClient::Abort();
  return CCfgServiceClient::Abort();
}

int CVCIServiceClient::Initialize(const char* remoteAddress, const char* localAddress, uint32_t keyInput1,
                                  uint32_t keyInput2) {
  int iRet = CCfgServiceClient::Initialize(remoteAddress, localAddress, keyInput1, keyInput2);
  if (iRet != 0) return iRet;
  return CAppServiceClient::Initialize(remoteAddress, localAddress, keyInput1, keyInput2);
}

int CVCIServiceClient::SetTransportLogging(bool on, uint32_t unused) {
  int iRet = CCfgServiceClient::SetTransportLogging(on, unused);
  if (iRet != 0) return iRet;
  return CAppServiceClient::SetTransportLogging(on, unused);
}

int CVCIServiceClient::SetSocketTimeouts(const CClientSocket::Timeouts& timeouts) {
  CCfgServiceClient::SetSocketTimeouts(timeouts);
  return CAppServiceClient::SetSocketTimeouts(timeouts);
}
