// zscanfit._core.MessageCapture: a context manager that, while entered on a
// thread, has the integrator's messages of that thread (and of the model's
// worker threads it starts) collected instead of written to standard output.
// The messages go to a C++ collector; they become Python objects only when
// the attributes are read. Relies on nanobind, lsoda's per-thread message
// sink and the message collector.
#include <cstdio>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "lsoda/lsoda.h"
#include "zscanfit_core/bindings.h"
#include "zscanfit_core/message_collector.h"
#include "zscanfit_core/messages.h"

namespace nb = nanobind;

namespace zscanfit_core {
namespace {

class MessageCapture {
 public:
  explicit MessageCapture(long long keep)
      : collector_(std::make_unique<MessageCollector>(checked_keep(keep))) {}

  // A capture dropped while still entered somewhere leaves its collector
  // behind: threads may still hand it messages through their pointer to it.
  ~MessageCapture() {
    if (!entries_.empty()) collector_.release();
  }

  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  // Installs the collector on the calling thread.
  void enter() {
    entries_.push_back(Entry{std::this_thread::get_id(),
                             lsoda::set_message_sink(collector_.get())});
  }

  // Puts back the sink that the latest entry on this thread replaced. A
  // capture entered later on this thread and still active must be left
  // first; otherwise nothing changes and RuntimeError is raised.
  void exit() {
    const auto thread = std::this_thread::get_id();
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
      if (entry->thread != thread) continue;
      if (lsoda::message_sink() != collector_.get()) {
        throw std::runtime_error(msg::kExitOutOfOrder);
      }
      lsoda::set_message_sink(entry->previous);
      entries_.erase(std::next(entry).base());
      return;
    }
    throw std::runtime_error(msg::kNotEntered);
  }

  MessageSummary summary() const { return collector_->summary(); }
  std::size_t keep() const { return collector_->keep(); }

 private:
  static std::size_t checked_keep(long long keep) {
    if (keep < 0) {
      char text[128];
      std::snprintf(text, sizeof text, msg::kKeepNegative, keep);
      throw nb::value_error(text);
    }
    return static_cast<std::size_t>(keep);
  }

  struct Entry {
    std::thread::id thread;
    lsoda::MessageSink* previous;  // the thread's sink before the entry
  };

  std::unique_ptr<MessageCollector> collector_;
  std::vector<Entry> entries_;  // changed only with the interpreter lock held
};

}  // namespace

void bind_message_capture(nb::module_& m) {
  nb::class_<MessageCapture>(
      m, "MessageCapture",
      "Collects the integrator's messages instead of printing them.\n\n"
      "While entered (``with MessageCapture() as capture:``) on a thread, the\n"
      "messages the integrator raises on that thread, including on the model's\n"
      "worker threads it starts and inside kesp_wrapper.fit_zscan, are counted\n"
      "and the first `keep` kept verbatim; nothing is written to standard\n"
      "output. Other threads are not affected. Captures nest: an inner capture\n"
      "collects while entered, then the outer one resumes. One capture may be\n"
      "entered on several threads at once.\n\n"
      "Parameters\n----------\n"
      "keep : int, default 5\n    How many messages to keep verbatim (>= 0).")
      .def(nb::init<long long>(), nb::arg("keep") = 5)
      .def("__enter__",
           [](nb::object self) {
             nb::cast<MessageCapture&>(self).enter();
             return self;
           })
      .def("__exit__", [](MessageCapture& capture, const nb::args&) { capture.exit(); })
      .def_prop_ro("keep", &MessageCapture::keep, "How many messages are kept verbatim.")
      .def_prop_ro(
          "total", [](const MessageCapture& capture) { return capture.summary().total; },
          "Number of messages collected.")
      .def_prop_ro(
          "counts",
          [](const MessageCapture& capture) {
            nb::dict counts;
            for (const auto& entry : capture.summary().counts) {
              counts[nb::str(entry.first.c_str(), entry.first.size())] = entry.second;
            }
            return counts;
          },
          "Messages per kind: the message's fixed text (trailing blanks removed) -> count.")
      .def_prop_ro(
          "first",
          [](const MessageCapture& capture) {
            nb::list first;
            for (const auto& text : capture.summary().first) {
              first.append(nb::str(text.c_str(), text.size()));
            }
            return first;
          },
          "The first `keep` messages, each exactly as it would have been printed.")
      .def("__repr__", [](const MessageCapture& capture) {
        const MessageSummary summary = capture.summary();
        char text[96];
        std::snprintf(text, sizeof text, "MessageCapture(keep=%zu, total=%lld, kinds=%zu)",
                      capture.keep(), summary.total, summary.counts.size());
        return std::string(text);
      });
}

}  // namespace zscanfit_core
