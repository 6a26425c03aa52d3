// The number conversions on any text: NumericValue never fails, ToInt16 fails only as it may,
// and whatever ToInt16 accepts it reads as NumericValue does, rounded ties to even.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgi/conversions.h"
#include "platform/failure.h"

using namespace trackrelay;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const double value = NumericValue(text);
  try {
    RoundToInt32(value);
  } catch (const Failure& failure) {
    if (failure.number() != kOverflow) std::abort();
  }
  try {
    const int n = ToInt16(text);
    // Accepted text is blanks, sign, digits and a fraction: NumericValue reads all of it.
    // Its double may round a long fraction, so compare only where that cannot matter.
    const double fraction = value - std::floor(value);
    if (std::fabs(fraction - 0.5) > 1e-6 && std::nearbyint(value) != n) std::abort();
  } catch (const Failure& failure) {
    if (failure.number() != kTypeMismatch && failure.number() != kOverflow) std::abort();
    if (failure.number() == kOverflow && std::fabs(value) < 32767.0) std::abort();
  }
  return 0;
}
