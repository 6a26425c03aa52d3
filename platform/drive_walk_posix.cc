// The walk on POSIX: a drive path's folders opened one below the other from the drive's folder,
// none of them through a link, and the plain file at the end opened without following one.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/drive_path.h"
#include "platform/drive_walk.h"
#include "platform/failure.h"
#include "platform/os_error.h"
#include "platform/text_rules.h"
#include "platform/unique_handle.h"

namespace trackrelay {

// Reaches the folder of a drive path. The drive's own folder (ROOT/x) is taken as the
// administrator set it up, a link to a mount point included, and so is the first folder below
// c: (c:\woe), which the administrator may make a link to a folder on a share; every other
// folder is opened with O_NOFOLLOW, so that nobody who can write to the share can point the
// program at a local folder. A missing folder, a file or a link where a folder should be: 76.
// readable asks for a folder descriptor that can be synced; otherwise a path descriptor does,
// which costs a network share no open. Returns 0 and fills place, or the failure number.
int TryReach(const std::string& path, bool readable, Place& place) {
  std::string start;
  std::size_t at = 0;
  const bool drive = path.size() >= 2 && path[1] == ':' &&
                     IsAsciiLetter(path[0]);
  // Below c: the first folder is the administrator's; nobody else writes to that disk.
  bool administrators = drive && (path[0] | 0x20) == 'c';
  if (drive) {
    start = MapDrivePath(path.substr(0, 2));
    at = 2;
  } else {
    // Not a drive path: a path of this machine, trusted up to its last name.
    const std::size_t last = path.find_last_of("/\\");
    start = last == std::string::npos ? "." : last == 0 ? "/" : MapDrivePath(path.substr(0, last));
    at = last == std::string::npos ? 0 : last + 1;
  }
  std::vector<std::string> names = PathNames(std::string_view(path).substr(at));
  place.name = names.back();
  names.pop_back();
  if (NamesNoEntry(place.name)) return kPathNotFound;

  UniqueDescriptor folder(open(start.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return errno == EACCES ? kPermissionDenied : kPathNotFound;
  for (const std::string& name : names) {
    if (StaysInFolder(name)) continue;
    if (name == "..") return kPathNotFound;
    const int follow = std::exchange(administrators, false) ? 0 : O_NOFOLLOW;
    UniqueDescriptor next(openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | follow | O_CLOEXEC));
    if (next.get() < 0) return errno == EACCES ? kPermissionDenied : kPathNotFound;
    folder = std::move(next);
  }
  if (readable) {
    UniqueDescriptor opened(openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0) return FailureNumberOfError(errno);
    folder = std::move(opened);
  }
  place.folder = std::move(folder);
  return 0;
}

Place Reach(const std::string& path, bool readable) {
  Place place;
  if (int failure = TryReach(path, readable, place)) RaiseFailure(failure);
  return place;
}

// The listing of the folder open at folder, from its start; none, with errno telling why, when it
// cannot be read.
UniqueListing ListingOf(int folder) {
  UniqueDescriptor fd(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return UniqueListing();
  UniqueListing listing(fdopendir(fd.get()));
  if (listing.valid()) {
    fd.Release();  // the listing closes it
  } else {
    const int error = errno;
    fd.Reset();
    errno = error;
  }
  return listing;
}

// Opens the named regular file of the folder for reading. The open itself never waits (a pipe
// or a device put where a file should be would otherwise hold the request for ever) and never
// follows a link; then anything but a regular file is refused with 70, whatever a look saw
// before, and reads go on as blocking reads.
UniqueDescriptor OpenRegular(const Place& place) {
  UniqueDescriptor fd(
      openat(place.folder.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) RaiseError(errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) RaiseError(errno);
  if (!S_ISREG(st.st_mode)) RaiseFailure(kPermissionDenied);
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) RaiseError(errno);
  return fd;
}

}  // namespace trackrelay
