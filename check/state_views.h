// The exchange's state as it is shown: one screen for a person, JSON for a script, and figures in
// the Prometheus text format for a textfile collector, written whole.
#pragma once

#include <string>
#include <string_view>

#include "check/exchange_state.h"

namespace trackrelay::check {

// One screen: the files of each folder by age, the oldest waiting, the last failures, the
// counter, then what asks for someone to act (or that nothing does).
std::string StateScreen(const ExchangeState& state);

// The same as one JSON object, ages in seconds.
std::string StateJson(const ExchangeState& state);

// The figures, each with its HELP and TYPE; a folder that cannot be read has no figures but its
// trackrelay_exchange_folder_readable of 0, so that nothing reads as a healthy 0.
std::string StateFigures(const ExchangeState& state);

// Puts text at path whole, as a textfile collector must find it: written to path + ".tmp" (a
// name the collector never reads; whatever stood there is removed first, never written
// through), on POSIX readable by everyone, and renamed over path. Raises std::runtime_error.
void WriteFiguresFile(const std::string& path, std::string_view text);

}  // namespace trackrelay::check
