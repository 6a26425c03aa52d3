#include "platform/chunked_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/failure.h"

namespace trackrelay {

ChunkedTextFileReader::ChunkedTextFileReader(std::size_t chunk_size, std::string_view preloaded)
    : size_(std::max<std::size_t>({chunk_size, preloaded.size(), 1})), chunk_(new char[size_]) {
  end_ = preloaded.copy(chunk_.get(), preloaded.size());
}

bool ChunkedTextFileReader::AtEnd() { return !Fill(); }

std::string ChunkedTextFileReader::ReadLine() {
  if (!Fill()) RaiseFailure(kInputPastEnd);
  std::string line;
  for (;;) {
    const char* start = chunk_.get() + next_;
    const char* cr = static_cast<const char*>(std::memchr(start, '\r', end_ - next_));
    if (cr != nullptr) {
      line.append(start, cr);
      next_ = static_cast<std::size_t>(cr - chunk_.get()) + 1;
      // The LF of a CR LF pair may be the first byte of the next chunk.
      if (Fill() && chunk_[next_] == '\n') ++next_;
      return line;
    }
    line.append(start, end_ - next_);
    next_ = end_;
    if (!Fill()) return line;  // the last line lacks its end
  }
}

bool ChunkedTextFileReader::Fill() {
  if (next_ < end_) return true;
  next_ = 0;
  end_ = std::min(ReadChunk(chunk_.get(), size_), size_);
  return end_ > 0;
}

}  // namespace trackrelay
