// VCI_IDENT_API marks what the shared library exports; everything else in it
// is hidden.
#pragma once

#define VCI_IDENT_API __attribute__((visibility("default")))
