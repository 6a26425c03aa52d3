#include "platform/file_system_common.h"

#include "platform/text_rules.h"

namespace trackrelay {

bool StoredSpellingSearch::Offer(std::string_view entry) {
  if (settled_) return false;
  if (entry == name_) {
    stored_ = std::string(entry);
    settled_ = true;
    return true;
  }
  if (!stored_.empty() || !SameTextIgnoringCase(name_, entry)) return false;
  stored_ = std::string(entry);
  return true;
}

}  // namespace trackrelay
