// The counter file with any content, allocated from on the real file system: a number comes back
// only for a first line that holds one with a successor, the counter then holds that successor in
// the form it is always written in, and a failure leaves the file byte for byte as it was.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "cgi/conversions.h"
#include "fuzz/fuzz_support.h"
#include "platform/drive_path.h"
#include "platform/failure.h"
#include "relay/local_disk.h"
#include "relay/tracking_counter.h"

using namespace trackrelay;
using trackrelay::fuzz::Broken;

namespace {

// Nobody else takes the counter's lock here: it is had at the first try.
constexpr std::uint64_t kUncontendedWaitMs = 1000;

struct Outcome {
  int failure = 0;  // the failure number, or 0 when a number came back
  std::int16_t n = 0;
};

template <typename Action>
Outcome OutcomeOf(Action action) {
  Outcome outcome;
  try {
    outcome.n = action();
  } catch (const Failure& failure) {
    outcome.failure = failure.number();
  }
  return outcome;
}

bool OnlyNumberCharacters(const std::string& line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '+' && c != '-' && c != '.' && (c < '0' || c > '9')) return false;
  }
  return true;
}

// The counter text for n is " n \r\n", or "-m \r\n" for a negative n.
bool WrittenAsItShouldBe(const std::string& text, std::int16_t n) {
  const std::string digits = std::to_string(n < 0 ? -static_cast<int>(n) : n);
  return text == (n < 0 ? "-" : " ") + digits + " \r\n";
}

std::string CounterPath() { return MapDrivePath(std::string(kCounterPath)); }

void WriteCounter(const std::string& bytes) {
  std::ofstream out(CounterPath(), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Broken("the counter cannot be written");
}

std::string ReadCounter() {
  std::ifstream in(CounterPath(), std::ios::binary);
  if (!in) Broken("the counter has gone");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::ScratchDriveRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = fuzz::ModelLines(bytes);

  // The parse on its own.
  Outcome parsed{62, 0};  // an empty file has no first line to parse
  if (!lines.empty()) {
    const std::string& line = lines.front();
    parsed = OutcomeOf([&] { return ParseCounterLine(line); });
    if (parsed.failure == 0) {
      if (parsed.n == 32767) Broken("32767 handed out: its successor does not fit");
      if (!OnlyNumberCharacters(line)) Broken("a line with more than a number was accepted");
      if (ToInt16(line) != parsed.n) Broken("the parse differs from ToInt16");
    } else if (parsed.failure == kOverflow) {
      // Overflow comes only once the line has been read as a number.
      if (!OnlyNumberCharacters(line)) Broken("overflow for a line that is no number");
    } else if (parsed.failure != kTypeMismatch) {
      Broken("the parse raised a failure other than 13 or 6");
    }
  }

  // The allocation on the real file: the same outcome, and the file as promised.
  WriteCounter(bytes);
  const Outcome allocated = OutcomeOf([] { return AllocateTrackingNumber(kUncontendedWaitMs); });
  if (allocated.failure != parsed.failure || allocated.n != parsed.n) Broken("allocation and parse disagree");
  const std::string after = ReadCounter();
  if (allocated.failure != 0) {
    if (after != bytes) Broken("a failed allocation changed the counter");
    return 0;
  }
  const std::int16_t next = static_cast<std::int16_t>(allocated.n + 1);
  if (after != CounterFileText(next) || !WrittenAsItShouldBe(after, next)) Broken("the successor is not what is left");
  // The next allocation reads back what this one wrote.
  const Outcome again = OutcomeOf([] { return AllocateTrackingNumber(kUncontendedWaitMs); });
  const int expected_failure = next == 32767 ? kOverflow : 0;
  if (again.failure != expected_failure || (expected_failure == 0 && again.n != next)) {
    Broken("the counter left behind does not read back");
  }
  return 0;
}
