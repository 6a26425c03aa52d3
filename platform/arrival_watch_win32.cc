// The arrival watch on Windows: ReadDirectoryChangesW on the folder of the awaited file,
// overlapped, so that the wait keeps its own time limit.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/arrival_watch.h"
#include "platform/file_system_common.h"
#include "platform/unique_handle.h"

namespace trackrelay {
namespace {

// Names that appear or go (renames among them), and writes. Windows reports a write, but never
// the close that ends it: a reported write only marks the file as being written (see
// WriterLetGo).
constexpr DWORD kReported = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

// How soon a file reported written is asked again whether its writer has let go.
constexpr DWORD kWriterRecheckMilliseconds = 5;

// Network redirectors refuse a buffer over 64 KiB; the inbound folder sees a few changes per
// request, and a buffer that overflows only wakes the wait for a look.
constexpr DWORD kBufferBytes = 16 * 1024;

}  // namespace

struct ArrivalWatch::Listener {
  Listener() = default;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener() {
    if (listening) {
      // The buffer stays the system's until the read is over.
      CancelIoEx(folder.get(), &overlapped);
      DWORD ignored = 0;
      GetOverlappedResult(folder.get(), &overlapped, &ignored, TRUE);
    }
    // The folder is closed before the event (the members go in the reverse of their order here).
  }

  UniqueEvent reported;  // the event that the folder's report sets
  UniqueHandle folder;
  OVERLAPPED overlapped{};
  bool listening = false;      // a ReadDirectoryChangesW is outstanding on buffer
  std::string path;            // the awaited file, as the Win32 file API takes it
  std::wstring name;           // its name within the folder, as the reports give it
  bool being_written = false;  // a write to it was reported and its writer may still hold it
  bool lost_count = false;     // the last report was an overflow
  alignas(DWORD) unsigned char buffer[kBufferBytes];
};

namespace {

// Asks the folder for its next report; false when it will give none.
bool Listen(ArrivalWatch::Listener& watch) {
  ResetEvent(watch.reported.get());
  watch.overlapped = OVERLAPPED{};
  watch.overlapped.hEvent = watch.reported.get();
  if (!ReadDirectoryChangesW(watch.folder.get(), watch.buffer, kBufferBytes, FALSE, kReported, nullptr,
                             &watch.overlapped, nullptr)) {
    return false;
  }
  watch.listening = true;
  return true;
}

}  // namespace

void ArrivalWatch::EndListener::operator()(Listener* listener) const { delete listener; }

void ArrivalWatch::Set(const std::string& folder, const WatchedFolder& reached) {
  Disarm();
  folder_ = folder;
  reached_ = reached;
}

// The folder is opened and its reports asked for once the file is known: a watch held from the
// start of the process would keep the folder open the whole time (under Wine its removal never
// ends while a handle holds it), and the process mitigation policies that confine the program
// on Windows refuse none of the calls that opening it needs.
void ArrivalWatch::Choose(const std::string& path) {
  listener_.reset();
  armed_.clear();
  const std::string name = NameInFolder(path);
  if (name.empty()) return;
  std::unique_ptr<Listener, EndListener> watch(new Listener);
  // The name as the reports give it: UTF-16, converted the way the A functions convert.
  const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int wide = MultiByteToWideChar(code_page, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (wide <= 0) return;
  watch->name.resize(static_cast<std::size_t>(wide));
  MultiByteToWideChar(code_page, 0, name.data(), static_cast<int>(name.size()), watch->name.data(), wide);

  // The folder itself, never what a reparse point there leads to: a junction or a link in
  // place of the inbound folder is not watched (the wait is then the grid's).
  watch->folder = UniqueHandle(CreateFileA(reached_.path.c_str(), FILE_LIST_DIRECTORY,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                                               FILE_FLAG_OVERLAPPED,
                                           nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!watch->folder.valid() || !GetFileInformationByHandle(watch->folder.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return;
  }
  watch->reported = UniqueEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  // On Windows a drive path is the Win32 path itself.
  watch->path = path;
  // Changes are recorded from the first read on: this one, made before the request goes out.
  if (!watch->reported.valid() || !Listen(*watch)) return;
  listener_ = std::move(watch);
  armed_ = path;
}

namespace {

// What stands for "closed after writing": the file holds something, and nobody holds it open
// for writing any more, which an open that refuses to share writing proves (it fails with a
// sharing violation while a writer has it, or while a writer refused readers). Windows gives
// no report of a close; NTFS reports the write again when the writer closes, and otherwise
// this is asked every few milliseconds, but only once a write to the awaited name was reported.
bool WriterLetGo(ArrivalWatch::Listener& watch) {
  const UniqueHandle file(CreateFileA(watch.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    // Still held for writing: ask again soon. Gone or out of reach: a new report will tell.
    if (GetLastError() != ERROR_SHARING_VIOLATION) watch.being_written = false;
    return false;
  }
  LARGE_INTEGER size{};
  const bool written = GetFileSizeEx(file.get(), &size) && size.QuadPart > 0;
  // An empty file is a bare creation: it waits for the next reported write.
  watch.being_written = false;
  return written;
}

// What a report of the folder told.
struct Report {
  bool arrived = false;  // the awaited file was renamed in, or the folder lost count of its changes
  bool over = false;     // the folder will report no more: the watch is done
};

// Reads the report that set the event. A folder that lost count of its changes counts as an
// arrival: the answer may be among them, and a look makes sure.
Report TakeReport(ArrivalWatch::Listener& watch) {
  Report report;
  DWORD got = 0;
  if (!GetOverlappedResult(watch.folder.get(), &watch.overlapped, &got, FALSE)) {
    if (GetLastError() == ERROR_IO_INCOMPLETE) {
      // Not over yet: still listening, and the event is set again when it is.
      ResetEvent(watch.reported.get());
      if (HasOverlappedIoCompleted(&watch.overlapped)) SetEvent(watch.reported.get());
      return report;
    }
    watch.listening = false;
    if (GetLastError() != ERROR_NOTIFY_ENUM_DIR) {
      // The folder went away, or its file system stopped reporting: the rest is slept.
      report.over = true;
      return report;
    }
    got = 0;  // too many changes to report
  }
  if (got == 0) {
    report.arrived = true;
    // An overflow straight after an overflow is a folder that reports nothing but that: a
    // watch that wakes the wait for nothing over and over is worse than none.
    if (watch.lost_count) {
      report.over = true;
      return report;
    }
    watch.lost_count = true;
  } else {
    watch.lost_count = false;
    constexpr std::size_t kHead = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    for (std::size_t at = 0; at + kHead <= got;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.buffer + at);
      if (at + kHead + info->FileNameLength > got) break;
      // Case counts: N.OUT is not the answer, even where the file system would open it as such.
      if (std::wstring_view(info->FileName, info->FileNameLength / sizeof(WCHAR)) == watch.name) {
        switch (info->Action) {
          case FILE_ACTION_RENAMED_NEW_NAME:
            report.arrived = true;
            break;
          // Added covers a file moved in from another folder as well as one created here; a
          // creation alone wakes nobody, so both wait for the writer check.
          case FILE_ACTION_ADDED:
          case FILE_ACTION_MODIFIED:
            watch.being_written = true;
            break;
          case FILE_ACTION_REMOVED:
          case FILE_ACTION_RENAMED_OLD_NAME:
            watch.being_written = false;
            break;
        }
      }
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
  // This report still counts; later ones will not come.
  if (!Listen(watch)) report.over = true;
  return report;
}

}  // namespace

ArrivalWatch::Wait ArrivalWatch::WaitOnce(DWORD milliseconds) {
  DWORD wait = milliseconds;
  if (listener_->being_written) wait = std::min(wait, kWriterRecheckMilliseconds);
  const DWORD waited = WaitForSingleObject(listener_->reported.get(), wait);
  bool arrived = false;
  if (waited == WAIT_OBJECT_0) {
    const Report report = TakeReport(*listener_);
    arrived = report.arrived;
    if (report.over) Disarm();
  } else if (waited != WAIT_TIMEOUT) {
    Disarm();
  }
  if (!arrived && listener_ != nullptr && listener_->being_written) arrived = WriterLetGo(*listener_);
  if (arrived) return Wait::kArrived;
  // The whole time waited, as a Sleep would have: a wait that ended a hair early by the steady
  // clock is not topped up, which would cost every miss another round with the system.
  return waited == WAIT_TIMEOUT && wait == milliseconds ? Wait::kTimeUp : Wait::kGoOn;
}

}  // namespace trackrelay
