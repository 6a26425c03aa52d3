// The Windows side of the platform layer beside the real kernel32: paths need no mapping here,
// since the built-in drive paths are this system's own.
#include "platform/platform.h"

namespace trackrelay {

std::string MapDrivePath(std::string_view path) { return std::string(path); }

}  // namespace trackrelay
