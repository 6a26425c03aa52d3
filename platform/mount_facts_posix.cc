// The mount facts on Linux: the drive's folder, where a link at it leads, the mount that holds it
// from /proc/self/mountinfo, and whether its file system is a network or FUSE one.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/drive_path.h"
#include "platform/mount_facts.h"
#include "platform/unique_handle.h"

namespace trackrelay {
namespace {

// Network and FUSE mounts report only what this machine did to them, never the remote host's
// writes: a watch there would never wake anybody.
bool Remote(decltype(statfs::f_type) type) {
  switch (static_cast<unsigned long>(type)) {
    case 0x65735546UL:  // FUSE (sshfs, smbnetfs)
    case 0x6969UL:      // NFS
    case 0x517BUL:      // SMB
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x564C:        // NCP
    case 0x73757245UL:  // Coda
    case 0x6B414653UL:  // AFS
      return true;
  }
  return false;
}

// The mount table writes a space, tab, newline and backslash in a name as \ and three octal
// digits.
std::string UnescapeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

struct Mount {
  std::string point;  // empty when none is known
  std::string type;
};

// The mount that holds the real path, from the mount table: the longest mount point that is
// the path or a folder above it. Read with plain reads: the program carries no streams.
Mount MountOf(const std::string& real) {
  Mount best;
  UniqueDescriptor table(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  if (table.get() < 0) return best;
  std::string text;
  char buffer[8192];
  for (ssize_t got; (got = read(table.get(), buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return best;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> fields;
    for (std::size_t from = at; from < end;) {
      std::size_t space = text.find(' ', from);
      if (space == std::string::npos || space > end) space = end;
      fields.push_back(text.substr(from, space - from));
      from = space + 1;
    }
    at = end + 1;
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 1 >= fields.size()) continue;
    const std::string point = UnescapeMountField(fields[4]);
    const bool above = point == "/" || real == point || real.rfind(point + "/", 0) == 0;
    if (above && point.size() >= best.point.size()) best = Mount{point, fields[dash + 1]};
  }
  return best;
}

}  // namespace

DriveFacts FactsOfDrive(char letter) {
  DriveFacts facts;
  const std::string folder = MapDrivePath(std::string(1, letter) + ":");
  facts.description = folder;
  struct stat own, st;
  const bool link = lstat(folder.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    facts.description += link ? ", a link that leads to no folder" : ", which is no folder";
    return facts;
  }
  facts.present = true;
  char real[PATH_MAX];
  if (realpath(folder.c_str(), real) == nullptr) return facts;
  if (link) facts.description += std::string(", a link to ") + real;
  const Mount mount = MountOf(real);
  if (!mount.point.empty()) {
    facts.description += mount.point == real ? ", where " + mount.type + " is mounted"
                                             : ", on " + mount.type + " mounted at " + mount.point;
  }
  struct statfs system;
  facts.network = statfs(real, &system) == 0 && Remote(system.f_type);
  return facts;
}

bool OnRemoteMount(int folder) {
  struct statfs mount;
  return fstatfs(folder, &mount) != 0 || Remote(mount.f_type);
}

}  // namespace trackrelay
