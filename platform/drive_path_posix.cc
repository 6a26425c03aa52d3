// Drive paths on POSIX: "X:\a\b" below the drive root, ROOT/x/a/b, as drive_path.h says.
#include <stdlib.h>

#include "platform/drive_path.h"
#include "platform/text_rules.h"

namespace trackrelay {

std::string MapDrivePath(std::string_view path) {
  const char* env_root = getenv("TRACKRELAY_DRIVE_ROOT");
  std::string mapped = env_root != nullptr && env_root[0] != '\0' ? env_root : TRACKRELAY_DEFAULT_DRIVE_ROOT;
  while (mapped.size() > 1 && mapped.back() == '/') mapped.pop_back();
  std::string_view rest = path;
  char letter = path.size() >= 2 && path[1] == ':' ? path[0] : '\0';
  if (IsAsciiLetter(letter)) {
    mapped += '/';
    mapped += static_cast<char>(letter | 0x20);
    rest = path.substr(2);
    if (!rest.empty() && rest[0] != '\\' && rest[0] != '/') mapped += '/';
  } else {
    // Not a drive path: taken as a path of this machine, backslashes aside.
    mapped.clear();
  }
  for (char c : rest) mapped += c == '\\' ? '/' : c;
  return mapped;
}

}  // namespace trackrelay
