#include "platform/StackNotification.h"

namespace platform {

const char* const SERVICE_WINDOW_CLASS = "VCIIdentClass";
const char* const STACK_NOTIFY_MESSAGE = "NotifyMessage for TosBtMng state";

bool PostStackNotification(WPARAM code) {
  HWND service = FindWindow(SERVICE_WINDOW_CLASS, nullptr);
  return service && PostMessage(service, RegisterWindowMessage(STACK_NOTIFY_MESSAGE), code, 0);
}

}  // namespace platform
