// The Windows System's inner pieces that its tests reach for directly.
// Everything else of it is behind CurrentSystem().
#pragma once

#include "platform/kernel32.h"

namespace trackrelay {

// Attributes that make a file no plain file for the lookup; read-only and archived ones are.
inline constexpr DWORD kNotPlain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

}  // namespace trackrelay
