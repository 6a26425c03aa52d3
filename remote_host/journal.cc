#include "remote_host/journal.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace trackrelay::remote_host {

std::string JournalDatagram(const std::vector<JournalField>& fields) {
  std::string datagram;
  for (const JournalField& field : fields) {
    datagram += field.name;
    if (field.value.find('\n') == std::string::npos) {
      datagram += '=';
    } else {
      datagram += '\n';
      std::uint64_t size = field.value.size();
      for (int i = 0; i < 8; ++i, size >>= 8) datagram += static_cast<char>(size & 0xff);
    }
    datagram += field.value;
    datagram += '\n';
  }
  return datagram;
}

bool IsJournalStream(int fd, const char* journal_stream) {
  if (journal_stream == nullptr || journal_stream[0] == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long device = std::strtoull(journal_stream, &end, 10);
  if (errno != 0 || end == journal_stream || *end != ':') return false;
  const char* inode_text = end + 1;
  const unsigned long long inode = std::strtoull(inode_text, &end, 10);
  if (errno != 0 || end == inode_text || *end != '\0') return false;
  struct stat st;
  return fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

Lines::Lines(std::string identifier, std::string journal_socket)
    : identifier_(std::move(identifier)), journal_socket_(std::move(journal_socket)) {
  if (IsJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM")) &&
      journal_socket_.size() < sizeof(sockaddr_un{}.sun_path)) {
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
}

Lines::~Lines() {
  if (socket_ >= 0) close(socket_);
}

void Lines::Say(const Line& line) {
  if (socket_ >= 0) {
    std::vector<JournalField> fields = {{"MESSAGE", line.message},
                                        {"PRIORITY", std::to_string(line.priority)},
                                        {"SYSLOG_IDENTIFIER", identifier_}};
    fields.insert(fields.end(), line.fields.begin(), line.fields.end());
    const std::string datagram = JournalDatagram(fields);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, journal_socket_.c_str(), journal_socket_.size() + 1);
    ssize_t sent;
    do {
      sent = sendto(socket_, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                    sizeof address);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) return;
  }
  std::fprintf(stderr, "%s: %s\n", identifier_.c_str(), line.message.c_str());
  std::fflush(stderr);
}

}  // namespace trackrelay::remote_host
