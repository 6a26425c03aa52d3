// The response file reader on any bytes: it yields exactly the lines that the CR / CR LF rule
// makes of them, bytes unchanged, whatever size its reads are, whether or not AtEnd is asked
// before each line, and whole or in parts of a bounded size (each part but a line's last exactly
// that size); past the last line it raises 62. The first input byte picks the read size, the way
// of reading and the part size; the rest is the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/drive_path.h"
#include "platform/failure.h"
#include "platform/file_system_posix.h"
#include "platform/system.h"

using namespace trackrelay;
using trackrelay::fuzz::Broken;

namespace {

constexpr const char* kResponse = "r:\\tont\\1.out";

// The next line, whole with ReadLine when part_limit is 0, else joined from its parts.
std::string NextLine(TextFileReader& reader, std::size_t part_limit) {
  if (part_limit == 0) return reader.ReadLine();
  std::string line, part;
  for (;;) {
    const bool ended = reader.ReadLinePart(part, part_limit);
    if (part.size() > part_limit) Broken("a part longer than its limit");
    if (!ended && part.size() != part_limit) Broken("a part short of its limit before the line's last");
    line += part;
    if (ended) return line;
  }
}

std::vector<std::string> ReadAll(TextFileReader& reader, bool ask_at_end, std::size_t part_limit) {
  std::vector<std::string> lines;
  if (ask_at_end) {
    while (!reader.AtEnd()) lines.push_back(NextLine(reader, part_limit));
  } else {
    // Reading alone, until it says there is no more.
    for (;;) {
      try {
        lines.push_back(NextLine(reader, part_limit));
      } catch (const Failure& failure) {
        if (failure.number() != kInputPastEnd) Broken("reading a line failed with other than 62");
        break;
      }
    }
  }
  if (!reader.AtEnd()) Broken("not at the end after the last line");
  for (std::size_t limit : {std::size_t{0}, std::size_t{1}}) {
    try {
      NextLine(reader, limit);
      Broken("a line past the end");
    } catch (const Failure& failure) {
      if (failure.number() != kInputPastEnd) Broken("past the end, a failure other than 62");
    }
  }
  return lines;
}

// A descriptor of the bytes in memory, positioned at their start.
int MemoryFile(const std::string& bytes) {
  const int fd = memfd_create("response", MFD_CLOEXEC);
  if (fd < 0) Broken("memfd_create");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0) Broken("cannot write the memory file");
    done += static_cast<std::size_t>(put);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) Broken("cannot rewind the memory file");
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::ScratchDriveRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + (data[0] & 0x0F);  // 1 to 16 bytes a read
  const bool ask_at_end = (data[0] & 0x10) != 0;
  const std::size_t part_limit = data[0] >> 5;  // 0: whole lines with ReadLine
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<std::string> expected = fuzz::ModelLines(bytes);

  std::unique_ptr<TextFileReader> small_reads = MakeTextFileReader(MemoryFile(bytes), chunk);
  if (ReadAll(*small_reads, ask_at_end, part_limit) != expected) Broken("small reads: not the lines of the bytes");

  // The reader as the relay gets it: a real response file, opened through the System.
  {
    std::ofstream out(MapDrivePath(kResponse), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Broken("cannot write the response file");
  }
  std::unique_ptr<TextFileReader> real = CurrentSystem().OpenTextFile(kResponse);
  if (ReadAll(*real, !ask_at_end, part_limit) != expected) Broken("OpenTextFile: not the lines of the bytes");
  return 0;
}
