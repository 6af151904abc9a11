// The message collector; see message_collector.h. Relies on the C++
// standard library and POSIX pthread_atfork.
#include "zscanfit_core/message_collector.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace zscanfit_core {
namespace {

// Every live collector, for the fork handlers. Never destroyed, so that a
// collector outliving static destruction still finds it.
struct Registry {
  std::mutex lock;
  std::vector<MessageCollector*> collectors;
};

Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

}  // namespace

MessageCollector::MessageCollector(std::size_t keep) : keep_(keep) {
  static std::once_flag handlers;
  std::call_once(handlers, [] { pthread_atfork(before_fork, after_fork, after_fork); });
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.collectors.push_back(this);
}

MessageCollector::~MessageCollector() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.collectors.erase(std::find(r.collectors.begin(), r.collectors.end(), this));
}

void MessageCollector::before_fork() {
  Registry& r = registry();
  r.lock.lock();
  for (MessageCollector* collector : r.collectors) collector->mutex_.lock();
}

// In the parent and in the child alike: the forking thread let go of what
// before_fork took (in the child it is the only thread, and holds them).
void MessageCollector::after_fork() {
  Registry& r = registry();
  for (MessageCollector* collector : r.collectors) collector->mutex_.unlock();
  r.lock.unlock();
}

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
