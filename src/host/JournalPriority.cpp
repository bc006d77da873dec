#include "host/JournalPriority.h"

#include <cstring>

#include "host/TraceLog.h"
#include "platform/Journal.h"

namespace {

using namespace platform;

// Every line whose journal priority is not its level's, by its format text.
// A line whose text changes must change here too.
const struct {
  const char* format;
  int priority;
} kDepartures[] = {
    // The service's own lines for the administrator: start, stop, reload.
    {"VCI Identification Service %s started %s: %s; trace: %s", JOURNAL_NOTICE},
    {"VCI Identification Service %s stopped, exit status %d", JOURNAL_NOTICE},
    {"CClientConnectionMgr::Reload ident.ini read again: trace level %s, window %s, trace file %s", JOURNAL_NOTICE},
    {"CClientConnectionMgr::Reload ident.ini is read again when the last of %d registered applications has gone",
     JOURNAL_NOTICE},
    // Every stop, and every application that unregisters, ends a notify
    // thread this way.
    {"CClientConnectionMgr::Run Shutdown in process. Exiting Notify Thread", JOURNAL_INFO},
    {"CRegisteredClient::NotifyThread Shutdown in process. Exiting Notify Thread", JOURNAL_INFO},
    // Both at every start of an installation whose caches were never
    // written (no VCI was ever refused); a broken cache is deleted and
    // filled anew.
    {"CVCIIdentClient::Initialize Unable to load cached Modules", JOURNAL_NOTICE},
    {"CVCIIdentClient::Initialize Unable to load invalid module cache", JOURNAL_NOTICE},
    // An application that ends without unregistering.
    {"CRegisteredClient::NotifyThread Client Connection Broken %d", JOURNAL_NOTICE},
    {"CRegisteredClient::Run Client Connection Broken %d", JOURNAL_NOTICE},
    // A Bluetooth command on a machine where Bluetooth is off is answered
    // -1, as designed; nothing is wrong with the service.
    {"CClientConnectionMgr::OnDataReceived Recd. BT Command but bluetooth not enabled", JOURNAL_NOTICE},
    // Any host of the LAN can send datagrams that are no announcement; each
    // one would be an error line.
    {"CVCIIdentClient::OnDataReceived UNKNOWN PACKET", JOURNAL_INFO},
    {"CVCIIdentClient::OnDataReceived Error Processing Message", JOURNAL_INFO},
    {"CVCIIdentClient::OnDataReceived StatusMsg.Serialize ERROR", JOURNAL_INFO},
    {"CVCIIdentClient::OnDataReceived IdentMsg.Serialize ERROR", JOURNAL_INFO},
    {"CVCIIdentClient::OnDataReceived RecoveryMsg.Serialize ERROR", JOURNAL_INFO},
};

}  // namespace

int JournalPriorityOf(int level, const char* format) {
  if (level != TRACE_WARN && level != TRACE_ERR) return JOURNAL_INFO;
  for (const auto& d : kDepartures)
    if (std::strcmp(d.format, format) == 0) return d.priority;
  return level == TRACE_ERR ? JOURNAL_ERR : JOURNAL_WARNING;
}
