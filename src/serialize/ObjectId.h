// Object identifiers: the 32-bit word that opens every serialised object,
// frame and cache file, and the log names the transport logs print for them.
#pragma once

#include <cstdint>

// Log name of an identifier (bit 0x8000 ignored); "UNKNOWN OBJECT" for an
// identifier of 2501 or more or one without a name. Never fails; the table is
// filled once, on first use, safely from any thread.
const char* GetObjectName(uint32_t id);

// Identifier constants, one per class of this program (SID_ names where the
// log knows one).
