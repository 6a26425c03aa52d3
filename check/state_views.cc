#include "check/state_views.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "platform/drive_path.h"

namespace trackrelay::check {
namespace {

// An age as a person reads it: seconds up to two minutes, then minutes, hours, days.
std::string ShownAge(std::int64_t ms) {
  const std::int64_t s = ms / 1000;
  if (s < 120) return std::to_string(s) + " s";
  if (s < 7200) return std::to_string(s / 60) + " min";
  if (s < 172800) return std::to_string(s / 3600) + " h";
  return std::to_string(s / 86400) + " days";
}

// Seconds to the millisecond: "6.250".
std::string Seconds(std::int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
  return text;
}

std::string Padded(const std::string& text, std::size_t width, bool left = false) {
  if (text.size() >= width) return text;
  return left ? text + std::string(width - text.size(), ' ') : std::string(width - text.size(), ' ') + text;
}

// The age bands' names, as the screen's columns and the labels of the figures.
const char* const kBandColumns[] = {"0-5 s", "5-15 s", "15-45 s", ">45 s"};
const char* const kBandLabels[] = {"up_to_5s", "up_to_15s", "up_to_45s", "over_45s"};
const char* const kBandKeys[] = {"up_to_5", "up_to_15", "up_to_45", "over_45"};

void Row(std::string& screen, const std::string& what, const FolderState& folder, bool bands) {
  screen += Padded(what, 22, true);
  if (!folder.readable) {
    screen += "cannot be read: " + folder.problem + "\n";
    return;
  }
  screen += Padded(std::to_string(folder.count), 6);
  for (std::size_t band = 0; band < folder.by_age.size(); ++band) {
    screen += Padded(bands ? std::to_string(folder.by_age[band]) : "-", std::string(kBandColumns[band]).size() + 2);
  }
  screen += "  ";
  if (folder.count == 0) {
    screen += "-";
  } else {
    screen += ShownAge(folder.oldest.front().age_ms);
    if (!bands) screen += ", newest " + ShownAge(folder.newest_age_ms);
  }
  screen += "\n";
}

// Text as a JSON string: quotes, backslashes and control characters escaped, and any byte that
// is not part of well-formed UTF-8 (a reason may quote a command's bytes) as U+FFFD.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      ++i;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
      ++i;
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++i;
    } else {
      const std::size_t length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 && byte < 0xE0 ? 2 : 0;
      bool whole = length > 0 && i + length <= text.size();
      for (std::size_t k = 1; whole && k < length; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      if (whole && length >= 3) {
        // No overlong forms, no surrogates, nothing past U+10FFFF.
        const auto second = static_cast<unsigned char>(text[i + 1]);
        whole = !(byte == 0xE0 && second < 0xA0) && !(byte == 0xED && second >= 0xA0) &&
                !(byte == 0xF0 && second < 0x90) && !(byte == 0xF4 && second >= 0x90);
      }
      if (whole) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        out += "\xEF\xBF\xBD";
        ++i;
      }
    }
  }
  return out + "\"";
}

std::string JsonProblem(const std::string& problem) { return problem.empty() ? "null" : Quoted(problem); }

std::string FolderJson(const FolderState& folder) {
  std::string json = "{\"folder\": " + Quoted(folder.folder) + ", \"readable\": " + (folder.readable ? "true" : "false") +
                     ", \"problem\": " + JsonProblem(folder.problem) + ", \"count\": " + std::to_string(folder.count) +
                     ", \"by_age\": {";
  for (std::size_t band = 0; band < folder.by_age.size(); ++band) {
    json += std::string(band > 0 ? ", " : "") + "\"" + kBandKeys[band] + "\": " + std::to_string(folder.by_age[band]);
  }
  json += "}, \"oldest_seconds\": " + (folder.count > 0 ? Seconds(folder.oldest.front().age_ms) : "null") +
          ", \"newest_seconds\": " + (folder.count > 0 ? Seconds(folder.newest_age_ms) : "null") + ", \"oldest\": [";
  for (std::size_t i = 0; i < folder.oldest.size(); ++i) {
    json += std::string(i > 0 ? ", " : "") + "{\"name\": " + Quoted(folder.oldest[i].name) +
            ", \"age_seconds\": " + Seconds(folder.oldest[i].age_ms) + "}";
  }
  return json + "]}";
}

// The exposition format's escapes: in HELP text a backslash and a line end; in a label value a
// double quote too.
std::string Escaped(std::string_view text, bool label) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && label) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

void Family(std::string& text, std::string_view name, std::string_view help) {
  text.append("# HELP ").append(name).append(" ").append(Escaped(help, false)).append("\n");
  text.append("# TYPE ").append(name).append(" gauge\n");
}

void Sample(std::string& text, std::string_view name, const std::string& labels, const std::string& value) {
  text.append(name);
  if (!labels.empty()) text.append("{").append(labels).append("}");
  text.append(" ").append(value).append("\n");
}

}  // namespace

std::string StateScreen(const ExchangeState& state) {
  std::string screen = "trackrelay exchange, ages by ";
  screen += state.share_clock ? "the share's clock" : "this machine's clock (" + state.clock_problem + ")";
  const std::string root = MapDrivePath("r:");
  if (root != "r:") screen += "; r: is " + root;
  screen += "\n\n" + Padded("", 22) + Padded("total", 6);
  for (const char* column : kBandColumns) screen += "  " + std::string(column);
  screen += "  oldest\n";
  Row(screen, "requests  r:\\fromnt", state.requests, true);
  Row(screen, "answers   r:\\tont", state.answers, true);
  Row(screen, "taken     work/", state.work, true);
  Row(screen, "failed    error/", state.errors, false);
  screen += "\n";
  screen += "remote host's folder  " + state.remote_host + "\n";
  if (state.requests.count > 0) {
    screen += "waiting longest       ";
    for (std::size_t i = 0; i < state.requests.oldest.size() && i < 5; ++i) {
      const AgedFile& file = state.requests.oldest[i];
      screen += (i > 0 ? ", " : "") + file.name.substr(0, file.name.size() - 4) + " (" + ShownAge(file.age_ms) + ")";
    }
    if (state.requests.count > 5) screen += " and " + std::to_string(state.requests.count - 5) + " more";
    screen += "\n";
  }
  for (std::size_t i = 0; i < state.last_failures.size(); ++i) {
    const FailedRequest& failed = state.last_failures[i];
    screen += Padded(i == 0 ? "last failures" : "", 22, true) + Padded(ShownAge(failed.age_ms) + " ago", 12, true) +
              failed.number + ": " + failed.reason + "\n";
  }
  screen += "counter               ";
  screen += state.counter_readable ? "holds " + std::to_string(state.counter) + ", " + std::to_string(state.numbers_left) +
                                         " numbers left before 32767"
                                   : "cannot be read: " + state.counter_problem;
  screen += "\n\n";
  const std::vector<Concern> concerns = ConcernsOf(state);
  for (const Concern& concern : concerns) screen += (concern.act_now ? "ACT: " : "warning: ") + concern.text + "\n";
  if (concerns.empty()) screen += "nothing to act on\n";
  return screen;
}

std::string StateJson(const ExchangeState& state) {
  std::string json = "{\n  \"clock\": ";
  json += state.share_clock ? "\"share\"" : "\"local\"";
  json += ",\n  \"clock_problem\": " + JsonProblem(state.clock_problem);
  json += ",\n  \"requests\": " + FolderJson(state.requests);
  json += ",\n  \"answers\": " + FolderJson(state.answers);
  json += ",\n  \"remote_host\": {\"folder\": " + Quoted(state.remote_host) + ", \"work\": " + FolderJson(state.work) +
          ", \"error\": " + FolderJson(state.errors) + ", \"last_failures\": [";
  for (std::size_t i = 0; i < state.last_failures.size(); ++i) {
    const FailedRequest& failed = state.last_failures[i];
    json += std::string(i > 0 ? ", " : "") + "{\"number\": " + Quoted(failed.number) +
            ", \"age_seconds\": " + Seconds(failed.age_ms) + ", \"reason\": " + Quoted(failed.reason) + "}";
  }
  json += "]}";
  json += ",\n  \"counter\": {\"readable\": " + std::string(state.counter_readable ? "true" : "false") +
          ", \"problem\": " + JsonProblem(state.counter_problem) +
          ", \"holds\": " + (state.counter_readable ? std::to_string(state.counter) : "null") +
          ", \"numbers_left\": " + (state.counter_readable ? std::to_string(state.numbers_left) : "null") + "}";
  json += ",\n  \"concerns\": [";
  const std::vector<Concern> concerns = ConcernsOf(state);
  for (std::size_t i = 0; i < concerns.size(); ++i) {
    json += std::string(i > 0 ? ", " : "") + "{\"act_now\": " + (concerns[i].act_now ? "true" : "false") +
            ", \"text\": " + Quoted(concerns[i].text) + "}";
  }
  return json + "]\n}\n";
}

std::string StateFigures(const ExchangeState& state) {
  std::string text;
  Family(text, "trackrelay_exchange_ages_by_share_clock",
         "1 when the ages are told by the share's clock, 0 when by the checking machine's (no probe file could be made).");
  Sample(text, "trackrelay_exchange_ages_by_share_clock", "", state.share_clock ? "1" : "0");

  const struct {
    const FolderState& folder;
    const char* label;
  } folders[] = {{state.requests, "requests"}, {state.answers, "answers"}, {state.work, "work"}, {state.errors, "error"}};
  Family(text, "trackrelay_exchange_folder_readable",
         "1 when the folder could be read: requests r:\\fromnt, answers r:\\tont, work and error the remote host's.");
  for (const auto& entry : folders) {
    Sample(text, "trackrelay_exchange_folder_readable", "folder=\"" + std::string(entry.label) + "\"",
           entry.folder.readable ? "1" : "0");
  }

  const auto by_age = [&](const FolderState& folder, std::string_view name, std::string_view help,
                          std::string_view oldest, std::string_view oldest_help) {
    if (!folder.readable) return;
    Family(text, name, help);
    for (std::size_t band = 0; band < folder.by_age.size(); ++band) {
      Sample(text, name, "age=\"" + std::string(kBandLabels[band]) + "\"", std::to_string(folder.by_age[band]));
    }
    Family(text, oldest, oldest_help);
    Sample(text, oldest, "", folder.count > 0 ? Seconds(folder.oldest.front().age_ms) : "0");
  };
  by_age(state.requests, "trackrelay_exchange_requests_waiting",
         "Request files N.DAT waiting in r:\\fromnt, by age; over 45 s the remote host is not taking requests.",
         "trackrelay_exchange_request_oldest_age_seconds", "Age of the oldest request waiting in r:\\fromnt; 0 when none.");
  by_age(state.answers, "trackrelay_exchange_answers_standing",
         "Answers N.out standing in r:\\tont, by age; over 45 s their programs died or gave up.",
         "trackrelay_exchange_answer_oldest_age_seconds", "Age of the oldest answer standing in r:\\tont; 0 when none.");
  if (state.work.readable) {
    Family(text, "trackrelay_exchange_work_requests", "Requests in the remote host's work folder: taken and not let go.");
    Sample(text, "trackrelay_exchange_work_requests", "", std::to_string(state.work.count));
    Family(text, "trackrelay_exchange_work_oldest_age_seconds",
           "Age of the oldest request in the remote host's work folder, since its publication; 0 when none.");
    Sample(text, "trackrelay_exchange_work_oldest_age_seconds", "",
           state.work.count > 0 ? Seconds(state.work.oldest.front().age_ms) : "0");
  }
  if (state.errors.readable) {
    Family(text, "trackrelay_exchange_error_requests", "Failed requests kept in the remote host's error folder.");
    Sample(text, "trackrelay_exchange_error_requests", "", std::to_string(state.errors.count));
  }
  if (state.counter_readable) {
    Family(text, "trackrelay_exchange_counter_numbers_left", "Numbers the counter hands out before 32767, its last.");
    Sample(text, "trackrelay_exchange_counter_numbers_left", "", std::to_string(state.numbers_left));
  }
  return text;
}

void WriteFiguresFile(const std::string& path, std::string_view text) {
  namespace fs = std::filesystem;
  const fs::path partial = path + ".tmp";
  std::error_code error;
  fs::remove(partial, error);
  if (error) throw std::runtime_error("cannot remove " + partial.string() + ": " + error.message());
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      fs::remove(partial, error);
      throw std::runtime_error("cannot write " + partial.string());
    }
  }
#ifndef _WIN32
  // The collector runs as a user of its own; the umask must not keep it out.
  fs::permissions(partial, fs::perms(0644), error);
#endif
  if (!error) fs::rename(partial, path, error);
  if (error) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    throw std::runtime_error("cannot put " + path + " in place: " + error.message());
  }
}

}  // namespace trackrelay::check
