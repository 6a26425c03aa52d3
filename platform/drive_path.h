// Drive paths: the Windows paths the program is built around ("r:\tont\41.out") as a path of
// this machine. One POSIX file (drive_path_posix.cc) and one Windows file (drive_path_win32.cc).
#pragma once

#include <string>
#include <string_view>

namespace trackrelay {

// The built-in paths are Windows drive paths. On POSIX, "X:\a\b" becomes ROOT/x/a/b: the drive
// letter lower-cased, backslashes turned into slashes, the rest as written. ROOT is the
// environment variable TRACKRELAY_DRIVE_ROOT when it is set and not empty, else the build's
// default (/mnt). On Windows the path is used as it stands.
std::string MapDrivePath(std::string_view path);

}  // namespace trackrelay
