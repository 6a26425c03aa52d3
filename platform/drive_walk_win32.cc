// The walk on Windows: a drive path's folders opened one below the other from the drive's root,
// none of them through a reparse point or a link that the file system followed unasked.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/drive_walk.h"
#include "platform/failure.h"
#include "platform/kernel32.h"
#include "platform/os_error.h"
#include "platform/text_rules.h"
#include "platform/unique_handle.h"

namespace trackrelay {
namespace {

// The failure of a folder that cannot be reached: access denied and a drive that is not ready
// say so; anything else is a missing folder.
int FolderFailure(DWORD error) {
  const int number = FailureNumberOfError(error);
  return number == kPermissionDenied || number == kDiskNotReady ? number : kPathNotFound;
}

}  // namespace

std::string FinalPathOf(HANDLE file) {
  char buffer[4 * MAX_PATH];
  const DWORD length = GetFinalPathNameByHandleA(file, buffer, sizeof buffer, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof buffer) return "";
  std::string path(buffer, length);
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

// Whether an open handle is the entry at the place, not what a link that the file system
// followed leads to. Windows opens a reparse point as itself; Wine follows a Unix symbolic link
// whatever it is asked, and a delete or a rename through that handle would act on the link's
// target, a local file perhaps, which must never happen.
bool IsEntryItself(const Place& place, HANDLE entry) {
  return place.final.empty() || SameTextIgnoringCase(FinalPathOf(entry), place.final + "\\" + place.name);
}

// Whether the open handle is a regular file that lives at the place itself: a disk file (no
// pipe, console or device), no folder, no reparse point, and not reached through a link that the
// file system followed on the way, which its final path would show. When told is given, it
// receives what the file system said of the file.
bool IsPlainFileAt(const Place& place, HANDLE file, BY_HANDLE_FILE_INFORMATION* told) {
  if (GetFileType(file) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  if (told != nullptr) *told = info;
  constexpr DWORD kNoFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((info.dwFileAttributes & kNoFile) != 0) return false;
  return IsEntryItself(place, file);
}

// Opens the entry at the place itself to delete or rename it: a reparse point as itself, never a
// folder (access denied, as for a delete), and sharing everything, so that the remote host is
// never refused for it. Returns 0 or the error.
DWORD OpenEntry(const Place& place, UniqueHandle& entry) {
  entry = UniqueHandle(CreateFileA(place.Path().c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return entry.valid() ? 0 : GetLastError();
}

// Reaches the folder of a path. A drive path ("r:\tont\5.out") is walked from the drive's root,
// which is taken as the administrator mapped it (a share, a SUBST); every folder below it is
// opened without following a reparse point and must be a plain folder that really lies in its
// parent, so that nobody who can write to the share can point the program at a local folder with
// a junction or a link. The folders stay open without FILE_SHARE_DELETE until the place goes:
// none of them can be renamed or replaced meanwhile, so the names opened below lead where the
// walk went. Any other path is trusted up to its last name. Returns 0 and fills place, or the
// failure number (76 for a folder reached through a link).
int TryReach(const std::string& path, Place& place) {
  std::size_t at = 0;
  const bool drive = path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/') &&
                     IsAsciiLetter(path[0]);
  if (!drive) {
    const std::size_t last = path.find_last_of("\\/");
    at = last == std::string::npos ? 0 : last + 1;
    place.folder.assign(path, 0, last == std::string::npos ? 0 : last);
    if (place.folder.empty()) place.folder = last == std::string::npos ? "." : path.substr(0, 1);
    place.name.assign(path, at, std::string::npos);
    return NamesNoEntry(place.name) ? kPathNotFound : 0;
  }

  std::vector<std::string> names = PathNames(std::string_view(path).substr(3));
  place.name = names.back();
  names.pop_back();
  if (NamesNoEntry(place.name)) return kPathNotFound;

  place.folder = path.substr(0, 2);
  // The drive's root: only its final path is wanted, the start of every final path below it.
  {
    UniqueHandle root(CreateFileA((place.folder + "\\").c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!root.valid()) return FolderFailure(GetLastError());
    place.final = FinalPathOf(root.get());
  }
  // Below c:, the web server's own disk, the first folder (c:\woe) is the administrator's, who
  // may make it a directory link to a folder on a share (mklink /D): it is followed, and the walk
  // goes on below where it leads. Nobody who writes to a share can make or change it.
  bool administrators = (path[0] | 0x20) == 'c';
  for (const std::string& name : names) {
    if (StaysInFolder(name)) continue;
    if (name == "..") return kPathNotFound;
    const bool follow = std::exchange(administrators, false);
    place.folder += "\\" + name;
    UniqueHandle folder(CreateFileA(place.folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
    if (!folder.valid()) return FolderFailure(GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder.get(), &info)) return FolderFailure(GetLastError());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return kPathNotFound;
    }
    // A file system that resolves links itself, without showing a reparse point (Wine on a
    // Unix symbolic link), still shows where the folder really is. A followed link's folder
    // is where the final paths below it start.
    if (!place.final.empty() || follow) {
      const std::string final = FinalPathOf(folder.get());
      if (!follow && !SameTextIgnoringCase(final, place.final + "\\" + name)) return kPathNotFound;
      place.final = final;
    }
    place.held.push_back(std::move(folder));
  }
  return 0;
}

Place Reach(const std::string& path) {
  Place place;
  if (int failure = TryReach(path, place)) RaiseFailure(failure);
  return place;
}

// Opens the named regular file of the place for reading. A reparse point is opened as itself,
// not followed; then anything but a plain file at the place is refused with 70, whatever a look
// saw a moment before. A folder cannot be opened this way at all: Windows answers access denied,
// as for a file that may not be read. A pipe (under Wine a Unix FIFO) opens without waiting and
// is refused here.
UniqueHandle OpenRegular(const Place& place) {
  UniqueHandle file(CreateFileA(place.Path().c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
  if (!file.valid()) RaiseLastError();
  if (!IsPlainFileAt(place, file.get())) RaiseFailure(kPermissionDenied);
  return file;
}

}  // namespace trackrelay
