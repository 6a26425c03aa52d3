// The System the program runs against, the same on every platform: the real one of this build,
// or the one a test put in its place.
#include "platform/system.h"

namespace trackrelay {
namespace {

System* substitute_system = nullptr;

}  // namespace

System& CurrentSystem() {
  // The real one is made at the first call even while a test's stands in: making the Windows one
  // sets the process's error mode, which every later file call relies on.
  System& real = RealSystem();
  return substitute_system != nullptr ? *substitute_system : real;
}

void SubstituteSystem(System* system) { substitute_system = system; }

}  // namespace trackrelay
