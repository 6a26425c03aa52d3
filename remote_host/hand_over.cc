#include "remote_host/hand_over.h"

#include "platform/failure.h"

namespace trackrelay::remote_host {

namespace fs = std::filesystem;

void TakeRequest(System& system, const std::string& published, const std::string& taken) {
  try {
    system.FlushFile(published);
  } catch (const Failure& failure) {
    if (failure.number() != kPermissionDenied) throw;
  }
  system.RenameNoReplace(published, taken);
}

// An answer is read by the web server's user, which may be another user than this remote host's,
// and on a share another machine's: who else may read it is the inbound folder's to say, and the
// umask's (security.md).
constexpr Readers kAnswerReaders = Readers::kEveryone;

void PublishAnswer(System& system, const std::string& partial, const std::string& answer, std::string_view page) {
  system.WriteTextFile(partial, page, kAnswerReaders);
  system.RenameReplacing(partial, answer);
}

bool RemoveEarlierAnswer(System& system, const std::string& answer, const std::string& inbound) {
  if (system.DescribeEntry(answer).kind != EntryKind::kPlainFile) return false;
  try {
    system.RemoveFile(answer);
  } catch (const Failure& failure) {
    if (failure.number() != kFileNotFound) throw;
    return false;
  }
  system.FlushFolder(inbound);
  return true;
}

HandOver HandOverOf(const fs::path& work, const fs::path& inbound, std::string_view number) {
  const std::string n(number);
  fs::path folder = inbound;
  if (folder.has_filename()) folder += fs::path::preferred_separator;
  return HandOver{(work / (n + ".DAT")).string(), (work / (n + ".answered")).string(), folder.string(),
                  (inbound / ("t" + n + ".out")).string(), (inbound / (n + ".out")).string()};
}

void AnswerRequest(System& system, const HandOver& files, std::string_view page, std::string& holder) {
  holder = files.request;
  system.WriteTextFile(files.partial, page, kAnswerReaders);
  system.FlushFolder(files.inbound);
  system.RenameReplacing(files.request, files.marker);
  holder = files.marker;
  system.RenameReplacing(files.partial, files.answer);
  system.RemoveFile(files.marker);
  holder.clear();
}

Finish FinishAnswered(System& system, const HandOver& files, bool in_time) {
  switch (system.DescribeEntry(files.partial).kind) {
    case EntryKind::kPlainFile:
      break;
    case EntryKind::kMissing:
      system.RemoveFile(files.marker);
      return Finish::kWasOut;
    default:
      return Finish::kLeft;
  }
  if (!in_time) {
    system.RemoveFile(files.partial);
    return Finish::kTooLate;
  }
  system.RenameReplacing(files.partial, files.answer);
  system.RemoveFile(files.marker);
  return Finish::kPublishedNow;
}

}  // namespace trackrelay::remote_host
