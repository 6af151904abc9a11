// The integrator's message writer XERRWD and its switches (XSETF, XSETUN,
// IXSAV, IUMACH), and the per-thread message sink. Messages are fixed-format
// lines: the text, then the integers in I10 and the reals in D21.13 fields.
// The settings are process-wide; each message is written whole under one
// lock and flushed, or handed whole to the raising thread's sink. The lock is
// kept usable in a child made by fork() (POSIX pthread_atfork); everything
// else relies on the C++ standard library.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "lsoda/lsoda.h"
#include "lsoda/messages.h"

namespace lsoda {
namespace {

constexpr int kDefaultUnit = 6;  // standard output
std::atomic<int> g_lunit{-1};    // LUNIT: -1 until first used, then the unit
std::atomic<int> g_mesflg{1};    // MESFLG: 1 print, 0 suppress

thread_local MessageSink* t_sink = nullptr;

// The output lock: one process-wide mutex, recursive per thread through the
// thread's own depth count. Constant-initialised, so taking it never runs a
// static-initialisation guard.
//
// Around fork() the forking thread takes it (unless it already holds it), so
// that no other thread is half-way through a message: the child's copy of
// standard output then holds no part of one. The wait is bounded, because the
// holder may be blocked writing to a pipe that only the forking process
// drains (a reader that needs a lock the forking thread holds, such as an
// interpreter's): past kForkWaitNs the fork goes on without it, and the
// child may repeat a message left in its copy of the output buffer. The
// parent lets the lock go if it took it; the child always starts from a
// fresh mutex, owned again by its only thread if that thread was inside a
// message.
pthread_mutex_t g_output_mutex = PTHREAD_MUTEX_INITIALIZER;
thread_local int t_output_depth = 0;
thread_local bool t_locked_for_fork = false;
std::atomic<bool> g_fork_handlers{false};
constexpr long kForkWaitNs = 250000000;  // 0.25 s

void before_fork() {
  t_locked_for_fork = false;
  if (t_output_depth > 0) return;
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_nsec += kForkWaitNs;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  t_locked_for_fork = pthread_mutex_timedlock(&g_output_mutex, &deadline) == 0;
}
void after_fork_in_parent() {
  if (t_locked_for_fork) pthread_mutex_unlock(&g_output_mutex);
  t_locked_for_fork = false;
}
void after_fork_in_child() {
  t_locked_for_fork = false;
  pthread_mutex_init(&g_output_mutex, nullptr);
  if (t_output_depth > 0) pthread_mutex_lock(&g_output_mutex);
}

// Registers the fork handlers once per process. Called when the library is
// loaded and again (at no cost) before each use of the lock, so that a
// message written by another library's initialisation is covered too.
bool install_fork_handlers() {
  if (!g_fork_handlers.exchange(true)) {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
  }
  return true;
}
[[maybe_unused]] const bool g_fork_handlers_at_load = install_fork_handlers();

void lock_output() {
  install_fork_handlers();
  if (t_output_depth++ == 0) pthread_mutex_lock(&g_output_mutex);
}
void unlock_output() {
  if (--t_output_depth == 0) pthread_mutex_unlock(&g_output_mutex);
}

struct OutputGuard {
  OutputGuard() { lock_output(); }
  ~OutputGuard() { unlock_output(); }
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;
};

// Writes the text to the unit: 6 is standard output; any other unit is
// taken as an open file descriptor.
void emit(int unit, const std::string& text) {
  if (unit == kDefaultUnit) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return;
  }
  std::fflush(stdout);
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(unit, p, left);
    if (written <= 0) return;
    p += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace

void format_i10(int value, char out[11]) {
  char buf[32];
  int len = std::snprintf(buf, sizeof buf, "%d", value);
  if (len > 10) {
    std::memset(out, '*', 10);  // does not fit the field
  } else {
    std::memset(out, ' ', 10);
    std::memcpy(out + 10 - len, buf, static_cast<size_t>(len));
  }
  out[10] = '\0';
}

void format_d21_13(double value, char out[22]) {
  char field[64];
  if (std::isnan(value)) {
    std::snprintf(field, sizeof field, "NaN");
  } else if (std::isinf(value)) {
    std::snprintf(field, sizeof field, "%s", value < 0 ? "-Infinity" : "Infinity");
  } else if (value == 0.0) {
    std::snprintf(field, sizeof field, "%s0.0000000000000D+00", std::signbit(value) ? "-" : "");
  } else {
    // 13 significant digits d.dddddddddddd e X, rewritten as 0.ddddddddddddd D X+1.
    char sci[40];
    std::snprintf(sci, sizeof sci, "%.12e", std::fabs(value));
    char digits[14];
    digits[0] = sci[0];
    std::memcpy(digits + 1, sci + 2, 12);
    digits[13] = '\0';
    int exponent = std::atoi(std::strchr(sci, 'e') + 1) + 1;
    const char* sign = value < 0 ? "-" : "";
    if (exponent >= -99 && exponent <= 99) {
      std::snprintf(field, sizeof field, "%s0.%sD%c%02d", sign, digits,
                    exponent < 0 ? '-' : '+', std::abs(exponent));
    } else {
      std::snprintf(field, sizeof field, "%s0.%s%c%03d", sign, digits,
                    exponent < 0 ? '-' : '+', std::abs(exponent));
    }
  }
  size_t len = std::strlen(field);
  std::memset(out, ' ', 21);
  if (len > 21) {
    std::memset(out, '*', 21);
  } else {
    std::memcpy(out + 21 - len, field, len);
  }
  out[21] = '\0';
}

// With a sink on the thread nothing is written, so nothing needs holding:
// the sink receives the lines one message at a time, in order.
MessageBlock::MessageBlock() : held_(t_sink == nullptr) {
  if (held_) lock_output();
}
MessageBlock::~MessageBlock() {
  if (held_) unlock_output();
}

MessageSink* set_message_sink(MessageSink* sink) {
  MessageSink* const previous = t_sink;
  t_sink = sink;
  return previous;
}

MessageSink* message_sink() { return t_sink; }

int IUMACH() { return kDefaultUnit; }

int IXSAV(int* IPAR, int* IVALUE, bool* ISET) {
  int old = -1;
  if (*IPAR == 1) {
    int unit = g_lunit.load();
    if (unit == -1) {
      unit = IUMACH();
      g_lunit.store(unit);
    }
    old = unit;
    if (*ISET) g_lunit.store(*IVALUE);
  } else if (*IPAR == 2) {
    old = g_mesflg.load();
    if (*ISET) g_mesflg.store(*IVALUE);
  }
  return old;
}

void XSETF(int* MFLAG) {
  if (*MFLAG == 0 || *MFLAG == 1) {
    int ipar = 2;
    bool set = true;
    IXSAV(&ipar, MFLAG, &set);
  }
}

void XSETUN(int* LUN) {
  if (*LUN > 0) {
    int ipar = 1;
    bool set = true;
    IXSAV(&ipar, LUN, &set);
  }
}

void XERRWD(const char* MSG, int* /*NMES*/, int* /*NERR*/, int* LEVEL, int* NI,
            int* I1, int* I2, int* NR, double* R1, double* R2) {
  int ipar = 1, unused = 0;
  bool no = false;
  const int unit = IXSAV(&ipar, &unused, &no);
  ipar = 2;
  const int mesflg = IXSAV(&ipar, &unused, &no);

  if (mesflg != 0) {
    std::string text;
    text.reserve(256);
    text += ' ';
    text += MSG;
    text += '\n';
    char a[22], b[22];
    if (*NI == 1) {
      format_i10(*I1, a);
      text += "      In above message,  I1 =";
      text += a;
      text += '\n';
    } else if (*NI == 2) {
      format_i10(*I1, a);
      format_i10(*I2, b);
      text += "      In above message,  I1 =";
      text += a;
      text += "   I2 =";
      text += b;
      text += '\n';
    }
    if (*NR == 1) {
      format_d21_13(*R1, a);
      text += "      In above message,  R1 =";
      text += a;
      text += '\n';
    } else if (*NR == 2) {
      format_d21_13(*R1, a);
      format_d21_13(*R2, b);
      text += "      In above,  R1 =";
      text += a;
      text += "   R2 =";
      text += b;
      text += '\n';
    }
    if (MessageSink* const sink = t_sink) {
      size_t kind_length = std::strlen(MSG);
      while (kind_length > 0 && MSG[kind_length - 1] == ' ') --kind_length;
      sink->receive(std::string(MSG, kind_length).c_str(), text);
    } else {
      OutputGuard guard;
      emit(unit, text);
    }
  }
  if (*LEVEL == 2) {
    std::fflush(stdout);
    std::_Exit(EXIT_FAILURE);  // a fatal message ends the process
  }
}

void message(const char* text, int width, int level, int ni, int i1, int i2,
             int nr, double r1, double r2) {
  char padded[msg::kIntdyWidth + 1];
  const size_t len = std::strlen(text);
  std::memset(padded, ' ', static_cast<size_t>(width));
  std::memcpy(padded, text, len < static_cast<size_t>(width) ? len : static_cast<size_t>(width));
  padded[width] = '\0';
  int nmes = static_cast<int>(len), nerr = 0;
  XERRWD(padded, &nmes, &nerr, &level, &ni, &i1, &i2, &nr, &r1, &r2);
}

}  // namespace lsoda
