// Collects the integrator's messages instead of writing them: a thread-safe
// lsoda::MessageSink that counts the messages by kind and keeps the first few
// verbatim. It touches no Python object, so it receives messages on threads
// that do not hold the interpreter lock (the model's worker threads, or a
// computation that released it). Collectors stay usable in a child made by
// fork(), whatever other threads were doing at the fork. Relies on lsoda's
// message sink, the C++ standard library and POSIX pthread_atfork.
#ifndef ZSCANFIT_CORE_MESSAGE_COLLECTOR_H
#define ZSCANFIT_CORE_MESSAGE_COLLECTOR_H

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "lsoda/lsoda.h"

namespace zscanfit_core {

// What a collector has received so far.
struct MessageSummary {
  long long total = 0;  // messages received
  // Messages per kind (the message's fixed text), in the order the kinds
  // first appeared.
  std::vector<std::pair<std::string, long long>> counts;
  std::vector<std::string> first;  // the first `keep` messages, verbatim
};

class MessageCollector final : public lsoda::MessageSink {
 public:
  explicit MessageCollector(std::size_t keep);
  ~MessageCollector() override;
  MessageCollector(const MessageCollector&) = delete;
  MessageCollector& operator=(const MessageCollector&) = delete;

  // Called on any thread the collector is installed on. When storage for a
  // new kind or a kept text cannot be obtained, the message is still
  // counted in the total.
  void receive(const char* kind, const std::string& text) noexcept override;

  // A copy of what has been received, taken under the collector's lock.
  MessageSummary summary() const;

  std::size_t keep() const { return keep_; }

 private:
  // Around fork() the forking thread holds every collector's lock, so that
  // none is copied into the child held by a thread the child does not have.
  static void before_fork();
  static void after_fork();

  const std::size_t keep_;
  mutable std::mutex mutex_;
  MessageSummary summary_;
};

}  // namespace zscanfit_core

#endif  // ZSCANFIT_CORE_MESSAGE_COLLECTOR_H
