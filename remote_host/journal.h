// The remote host's lines as journald keeps them: the number, the outcome and the times as fields
// a query can use, sent by the journal's native protocol when standard error is the journal; plain lines else.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trackrelay::remote_host {

struct JournalField {
  std::string name;  // upper-case letters, digits and underscores, not beginning with one
  std::string value;
};

// One line of the remote host. On a terminal or in a file it is "IDENTIFIER: message"; in the
// journal the message is MESSAGE, priority PRIORITY (syslog's levels) and each field its own.
struct Line {
  std::string message;
  int priority = kInfo;
  std::vector<JournalField> fields;

  static constexpr int kError = 3;
  static constexpr int kWarning = 4;
  static constexpr int kNotice = 5;
  static constexpr int kInfo = 6;
};

// The datagram of the native protocol that carries fields: "NAME=value" and LF for a value
// without LF; for one with LF (a reason may hold several lines) NAME and LF, the value's length
// as 64-bit little-endian, the value and LF, which journald reads as it stands.
std::string JournalDatagram(const std::vector<JournalField>& fields);

// Whether journal_stream (JOURNAL_STREAM as systemd sets it for a unit whose output goes to the
// journal: "DEVICE:INODE" in decimal) names the file open as descriptor fd. A unit's standard
// error handed on to a command, or redirected to a file, no longer matches, and gets plain lines.
bool IsJournalStream(int fd, const char* journal_stream);

// Where the lines of one process go: to the journal's socket when standard error is the
// journal, else to standard error. A line the journal does not take (it is stopping, or the line
// is too large for one datagram) goes to standard error, which journald keeps as a plain line.
class Lines {
 public:
  explicit Lines(std::string identifier, std::string journal_socket = "/run/systemd/journal/socket");
  ~Lines();
  Lines(const Lines&) = delete;
  Lines& operator=(const Lines&) = delete;

  // Not for several threads at once: the caller holds its own lock.
  void Say(const Line& line);
  bool ToJournal() const { return socket_ >= 0; }

 private:
  std::string identifier_;
  std::string journal_socket_;
  int socket_ = -1;
};

}  // namespace trackrelay::remote_host
