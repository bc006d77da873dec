// How the Bluetooth stack's manager tells a service started with "-t" about
// its state: the registered message "NotifyMessage for TosBtMng state", the
// state code in the low 16 bits of wParam, posted to the service's main
// window (class "VCIIdentClass") in the scope of this registry file.
#pragma once

#include "platform/WinUser.h"

namespace platform {

extern const char* const SERVICE_WINDOW_CLASS;   // "VCIIdentClass"
extern const char* const STACK_NOTIFY_MESSAGE;  // "NotifyMessage for TosBtMng state"

// False when no service window exists or it did not take the message.
bool PostStackNotification(WPARAM code);

}  // namespace platform
