// The message collector; see message_collector.h. Relies on the C++
// standard library only.
#include "zscanfit_core/message_collector.h"

#include <cstring>
#include <new>

namespace zscanfit_core {

void MessageCollector::receive(const char* kind, const std::string& text) noexcept {
  std::lock_guard<std::mutex> guard(mutex_);
  ++summary_.total;
  try {
    bool known = false;
    // A handful of kinds at most: a linear search beats any index.
    for (auto& entry : summary_.counts) {
      if (std::strcmp(entry.first.c_str(), kind) == 0) {
        ++entry.second;
        known = true;
        break;
      }
    }
    if (!known) summary_.counts.emplace_back(kind, 1);
    if (summary_.first.size() < keep_) summary_.first.push_back(text);
  } catch (const std::bad_alloc&) {
    // Counted in the total; the kind or the text could not be stored.
  }
}

MessageSummary MessageCollector::summary() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return summary_;
}

}  // namespace zscanfit_core
