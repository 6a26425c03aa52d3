// Text files read in chunks by the line rule (text_rules.h), for both file systems and the fake.
// A reader fetches its file in chunks through ReadChunk and splits lines at CR or CR LF.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/system.h"

namespace trackrelay {

class ChunkedTextFileReader : public TextFileReader {
 public:
  bool AtEnd() override;
  std::string ReadLine() override;
  bool ReadLinePart(std::string& part, std::size_t limit) override;

 protected:
  // Reads chunk_size bytes at a time; preloaded bytes are served first.
  explicit ChunkedTextFileReader(std::size_t chunk_size, std::string_view preloaded = {});
  // Up to size bytes of the file into buffer; 0 at its end. Raises the failure of a read.
  virtual std::size_t ReadChunk(char* buffer, std::size_t size) = 0;

 private:
  // True when an unread byte is at next_, reading the next chunk when needed.
  bool Fill();
  // Steps over the CR at next_ and the LF right after it, which may be the next chunk's first byte.
  void SkipLineEnd();

  std::size_t size_;
  std::unique_ptr<char[]> chunk_;
  std::size_t next_ = 0;
  std::size_t end_ = 0;
};

}  // namespace trackrelay
