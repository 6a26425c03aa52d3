#include "platform/chunked_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/failure.h"
#include "platform/text_rules.h"

namespace trackrelay {

ChunkedTextFileReader::ChunkedTextFileReader(std::size_t chunk_size, std::string_view preloaded)
    : size_(std::max<std::size_t>({chunk_size, preloaded.size(), 1})), chunk_(new char[size_]) {
  end_ = preloaded.copy(chunk_.get(), preloaded.size());
}

bool ChunkedTextFileReader::AtEnd() { return !Fill(); }

std::string ChunkedTextFileReader::ReadLine() {
  std::string line;
  ReadLinePart(line, std::string::npos);
  return line;
}

bool ChunkedTextFileReader::ReadLinePart(std::string& part, std::size_t limit) {
  if (!Fill()) RaiseFailure(kInputPastEnd);
  limit = std::max<std::size_t>(limit, 1);
  part.clear();
  for (;;) {
    const char* start = chunk_.get() + next_;
    const std::size_t take = std::min(end_ - next_, limit - part.size());
    const char* cr = static_cast<const char*>(std::memchr(start, kLineEnd, take));
    if (cr != nullptr) {
      part.append(start, cr);
      next_ = static_cast<std::size_t>(cr - chunk_.get());
      SkipLineEnd();
      return true;
    }
    part.append(start, take);
    next_ += take;
    if (!Fill()) return true;  // the last line lacks its end
    if (part.size() == limit) {
      // The part is full: the line goes on unless its end is the next byte.
      if (chunk_[next_] != kLineEnd) return false;
      SkipLineEnd();
      return true;
    }
  }
}

void ChunkedTextFileReader::SkipLineEnd() {
  ++next_;
  if (Fill() && chunk_[next_] == kLineEndTail) ++next_;
}

bool ChunkedTextFileReader::Fill() {
  if (next_ < end_) return true;
  next_ = 0;
  end_ = std::min(ReadChunk(chunk_.get(), size_), size_);
  return end_ > 0;
}

}  // namespace trackrelay
