// Drive paths on Windows: they need no mapping here, since the built-in drive paths are this
// system's own.
#include "platform/drive_path.h"

namespace trackrelay {

std::string MapDrivePath(std::string_view path) { return std::string(path); }

}  // namespace trackrelay
