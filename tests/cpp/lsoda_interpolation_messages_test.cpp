// Interpolation in the history array (DINTDY) and the message writer
// (XERRWD and its switches): values at and beyond the ends of the last
// step, the exact line layout of every message form, messages handed to a
// thread's sink, and writing in a child made by fork() whoever held the
// output lock at that moment.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lsoda/lsoda.h"
#include "lsoda/messages.h"
#include "lsoda/record.h"
#include "tests/cpp/lsoda_test_problems.h"

namespace {

using lsoda_test::Integration;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// One step of y' = -y, to interpolate within.
Integration one_step_of_decay() {
  Integration run(lsoda_test::decay, {1.0});
  run.tout = 5.0;
  run.itask = 2;
  for (int k = 0; k < 6; ++k) run.call();  // a few steps, so that NQ > 1
  return run;
}

TEST(Interpolation, ValuesAtAndWithinTheLastStep) {
  Integration run = one_step_of_decay();
  const lsoda::Record& s = lsoda::record();
  ASSERT_GT(s.nq, 1);
  int k = 0, iflag = 1, nyh = 1;
  double dky = 0.0;
  double t = s.tn;
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  EXPECT_EQ(iflag, 0);
  EXPECT_EQ(dky, run.rwork[20]) << "T = TN gives YH column 1";

  t = s.tn - s.hu;  // the previous mesh point is inside
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  EXPECT_EQ(iflag, 0);
  EXPECT_NEAR(dky, std::exp(-t), 1e-5);

  t = s.tn + 10.0 * s.uround * s.tn;  // a hair beyond TN is within the margin
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  EXPECT_EQ(iflag, 0);

  // The first derivative of the interpolant approximates y' = -y.
  k = 1;
  t = s.tn - 0.5 * s.hu;
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  EXPECT_EQ(iflag, 0);
  EXPECT_NEAR(dky, -std::exp(-t), 1e-4);

  // K = NQ: the constant highest derivative NQ! * YH(L) / H^NQ.
  k = s.nq;
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  double factorial = 1.0;
  for (int j = 2; j <= s.nq; ++j) factorial *= j;
  EXPECT_NEAR(dky, factorial * run.rwork[20 + s.nq] / std::pow(s.h, s.nq),
              1e-12 * std::fabs(dky));
}

TEST(Interpolation, RejectsIllegalOrderAndPoint) {
  Integration run = one_step_of_decay();
  const lsoda::Record& s = lsoda::record();
  int nyh = 1, iflag = 0;
  double dky = 42.0;
  double t = s.tn;
  int k = s.nq + 1;
  CaptureStdout();
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(iflag, -1);
  EXPECT_EQ(dky, 42.0) << "DKY is left alone";
  const std::string pad80(50, ' ');
  char i10[11];
  lsoda::format_i10(k, i10);
  EXPECT_EQ(out, " DINTDY-  K (=I1) illegal      " + pad80 + "\n      In above message,  I1 =" + i10 + "\n");

  k = 0;
  t = s.tn + 0.5 * s.h + 1.0;  // clearly beyond the step
  CaptureStdout();
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  out = GetCapturedStdout();
  EXPECT_EQ(iflag, -2);
  EXPECT_EQ(dky, 42.0);
  const std::string first = " DINTDY-  T (=R1) illegal      " + pad80 + "\n";
  ASSERT_EQ(out.substr(0, first.size()), first);
  const std::string second = " " + std::string("      T not in interval TCUR - HU (= R1) to TCUR (=R2)      ") +
                             std::string(20, ' ') + "\n";
  EXPECT_NE(out.find(second), std::string::npos) << out;
  // The interval printed is [TN - HU - TFUZZ, TN].
  char tn[22];
  lsoda::format_d21_13(s.tn, tn);
  EXPECT_NE(out.find(std::string("   R2 =") + tn + "\n"), std::string::npos) << out;
}

// ---------------------------------------------------------------- message writer

TEST(Messages, FieldFormats) {
  char f[22];
  lsoda::format_d21_13(1.0, f);
  EXPECT_STREQ(f, "  0.1000000000000D+01");
  lsoda::format_d21_13(-2.5e-7, f);
  EXPECT_STREQ(f, " -0.2500000000000D-06");
  lsoda::format_d21_13(0.0, f);
  EXPECT_STREQ(f, "  0.0000000000000D+00");
  lsoda::format_d21_13(1.0 / 3.0, f);
  EXPECT_STREQ(f, "  0.3333333333333D+00");
  lsoda::format_d21_13(0.99999999999999, f);
  EXPECT_STREQ(f, "  0.1000000000000D+01") << "rounding carries into the exponent";
  lsoda::format_d21_13(1e100, f);
  EXPECT_STREQ(f, "  0.1000000000000+101") << "three-digit exponents drop the letter";
  lsoda::format_d21_13(-1.5e-200, f);
  EXPECT_STREQ(f, " -0.1500000000000-199");
  lsoda::format_d21_13(INFINITY, f);
  EXPECT_STREQ(f, "             Infinity");
  lsoda::format_d21_13(NAN, f);
  EXPECT_STREQ(f, "                  NaN");

  char i[11];
  lsoda::format_i10(42, i);
  EXPECT_STREQ(i, "        42");
  lsoda::format_i10(-2147483647, i);
  EXPECT_STREQ(i, "**********") << "does not fit ten columns";
}

TEST(Messages, LineLayoutOfEveryForm) {
  int nmes = 10, nerr = 1, level = 0, ni = 2, i1 = 7, i2 = -12, nr = 2;
  double r1 = 1.5, r2 = -0.25;
  CaptureStdout();
  lsoda::XERRWD("ABC", &nmes, &nerr, &level, &ni, &i1, &i2, &nr, &r1, &r2);
  EXPECT_EQ(GetCapturedStdout(),
            " ABC\n"
            "      In above message,  I1 =         7   I2 =       -12\n"
            "      In above,  R1 =  0.1500000000000D+01   R2 = -0.2500000000000D+00\n");
  ni = 1;
  nr = 1;
  CaptureStdout();
  lsoda::XERRWD("X", &nmes, &nerr, &level, &ni, &i1, &i2, &nr, &r1, &r2);
  EXPECT_EQ(GetCapturedStdout(),
            " X\n"
            "      In above message,  I1 =         7\n"
            "      In above message,  R1 =  0.1500000000000D+01\n");
}

TEST(Messages, SwitchesSuppressPrintingButNotTheFatalStop) {
  int ipar = 2, unused = 0;
  bool no = false;
  EXPECT_EQ(lsoda::IXSAV(&ipar, &unused, &no), 1) << "printing is on by default";
  ipar = 1;
  EXPECT_EQ(lsoda::IXSAV(&ipar, &unused, &no), 6) << "standard output is the default unit";
  EXPECT_EQ(lsoda::IUMACH(), 6);

  int off = 0, on = 1, bogus = 7, zero = 0;
  lsoda::XSETF(&bogus);  // ignored
  lsoda::XSETUN(&zero);  // ignored
  ipar = 1;
  EXPECT_EQ(lsoda::IXSAV(&ipar, &unused, &no), 6);
  lsoda::XSETF(&off);
  int nmes = 1, nerr = 0, level = 0, ni = 0, nr = 0, i = 0;
  double r = 0.0;
  CaptureStdout();
  lsoda::XERRWD("silent", &nmes, &nerr, &level, &ni, &i, &i, &nr, &r, &r);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EXIT(
      {
        int fatal = 2;
        lsoda::XERRWD("fatal", &nmes, &nerr, &fatal, &ni, &i, &i, &nr, &r, &r);
      },
      ::testing::ExitedWithCode(1), "");
  lsoda::XSETF(&on);
  ipar = 2;
  EXPECT_EQ(lsoda::IXSAV(&ipar, &unused, &no), 1);
}

}  // namespace

// ---------------------------------------------------------------- message sinks

namespace {

// Keeps every message it receives, from any thread.
class Collector : public lsoda::MessageSink {
 public:
  void receive(const char* kind, const std::string& text) noexcept override {
    std::lock_guard<std::mutex> guard(mutex_);
    kinds_.emplace_back(kind);
    texts_.push_back(text);
  }
  std::vector<std::string> kinds() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return kinds_;
  }
  std::vector<std::string> texts() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return texts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> kinds_, texts_;
};

// Installs a sink on this thread for the scope's lifetime.
struct SinkScope {
  explicit SinkScope(lsoda::MessageSink* sink) : previous(lsoda::set_message_sink(sink)) {}
  ~SinkScope() { lsoda::set_message_sink(previous); }
  lsoda::MessageSink* previous;
};

// The message forms of the writer: text alone, one or two integers, one or
// two reals, and a driver line padded to its width.
void raise_every_form() {
  int nmes = 0, nerr = 0, level = 0, none = 0, one = 1, two = 2, i1 = 7, i2 = -12;
  double r1 = 1.5, r2 = -0.25;
  lsoda::XERRWD("ABC", &nmes, &nerr, &level, &two, &i1, &i2, &two, &r1, &r2);
  lsoda::XERRWD("X", &nmes, &nerr, &level, &one, &i1, &i2, &one, &r1, &r2);
  lsoda::XERRWD("plain", &nmes, &nerr, &level, &none, &i1, &i2, &none, &r1, &r2);
  lsoda::driver_message(lsoda::msg::kMxstep1, 1, 500, 0, 1, 0.125);
}

}  // namespace

TEST(MessageSink, ReceivesExactlyWhatWouldBePrintedAndNothingIsPrinted) {
  CaptureStdout();
  raise_every_form();
  const std::string printed = GetCapturedStdout();
  ASSERT_FALSE(printed.empty());

  Collector sink;
  CaptureStdout();
  {
    SinkScope scope(&sink);
    EXPECT_EQ(lsoda::message_sink(), &sink);
    raise_every_form();
  }
  EXPECT_EQ(GetCapturedStdout(), "") << "a thread with a sink writes nothing";
  std::string joined;
  for (const std::string& text : sink.texts()) joined += text;
  EXPECT_EQ(joined, printed);
  EXPECT_EQ(sink.kinds(), (std::vector<std::string>{
                              "ABC", "X", "plain", "DLSODA-  At current T (=R1), MXSTEP (=I1) steps"}))
      << "the fixed text, trailing blanks removed";

  EXPECT_EQ(lsoda::message_sink(), nullptr);
  CaptureStdout();
  raise_every_form();
  EXPECT_EQ(GetCapturedStdout(), printed) << "uninstalled: printed again";
}

TEST(MessageSink, PrintFlagSilencesItAndTheFatalStopStillComes) {
  Collector sink;
  SinkScope scope(&sink);
  int off = 0, on = 1, nmes = 0, nerr = 0, level = 0, none = 0, i = 0;
  double r = 0.0;
  lsoda::XSETF(&off);
  lsoda::XERRWD("silent", &nmes, &nerr, &level, &none, &i, &i, &none, &r, &r);
  lsoda::XSETF(&on);
  EXPECT_TRUE(sink.texts().empty()) << "a suppressed message is not delivered";

  // The sink hears the fatal message before the process ends.
  struct ToStderr : lsoda::MessageSink {
    void receive(const char* kind, const std::string& text) noexcept override {
      std::fprintf(stderr, "[%s]%s", kind, text.c_str());
    }
  };
  EXPECT_EXIT(
      {
        ToStderr last_words;
        lsoda::set_message_sink(&last_words);
        int fatal = 2;
        lsoda::XERRWD("fatal  ", &nmes, &nerr, &fatal, &none, &i, &i, &none, &r, &r);
      },
      ::testing::ExitedWithCode(1), "\\[fatal\\] fatal  ");
}

// ---------------------------------------------------------------- fork

namespace {

// Writes one message to `fd` from the calling thread.
void write_message(int fd) {
  int unit = fd, nmes = 0, nerr = 0, level = 0, none = 0, i = 0;
  double r = 0.0;
  lsoda::XSETUN(&unit);
  lsoda::XERRWD("from the child", &nmes, &nerr, &level, &none, &i, &i, &none, &r, &r);
}

// Waits up to five seconds for the child; one still running then is killed.
// Returns what the child wrote to `fd` when it exited with status 0, else a
// description of what went wrong.
std::string child_output(pid_t pid, int fd) {
  int status = 0;
  pid_t done = 0;
  for (int k = 0; k < 500 && done == 0; ++k) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(fd);
    return "the child hung";
  }
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child failed";
  return out;
}

}  // namespace

TEST(MessagesAcrossFork, ChildWritesWhileAnotherThreadWasInAMessage) {
  std::atomic<bool> held{false};
  std::thread writer([&held] {
    lsoda::MessageBlock block;  // in the middle of a message of several lines
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  while (!held) std::this_thread::yield();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();  // waits for the message to end
  if (pid == 0) {
    write_message(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  writer.join();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(child_output(pid, fds[0]), " from the child\n");

  int nmes = 0, nerr = 0, level = 0, none = 0, i = 0;
  double r = 0.0;
  CaptureStdout();
  lsoda::XERRWD("parent", &nmes, &nerr, &level, &none, &i, &i, &none, &r, &r);
  EXPECT_EQ(GetCapturedStdout(), " parent\n") << "the parent goes on writing";
}

TEST(MessagesAcrossFork, ForkFromInsideAMessage) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid;
  {
    lsoda::MessageBlock block;
    pid = fork();
    if (pid == 0) write_message(fds[1]);  // still inside the block
  }
  if (pid == 0) {
    // The block has ended: another thread of the child may write.
    std::thread other([&fds] { write_message(fds[1]); });
    other.join();
    _exit(0);
  }
  close(fds[1]);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(child_output(pid, fds[0]), " from the child\n from the child\n");

  std::string printed;
  std::thread other([&printed] {
    int nmes = 0, nerr = 0, level = 0, none = 0, i = 0;
    double r = 0.0;
    CaptureStdout();
    lsoda::XERRWD("parent", &nmes, &nerr, &level, &none, &i, &i, &none, &r, &r);
    printed = GetCapturedStdout();
  });
  other.join();
  EXPECT_EQ(printed, " parent\n") << "the parent's lock was let go";
}

TEST(MessagesAcrossFork, ForkGoesOnWhenAMessageCannotEnd) {
  // The writer stays in its message until the fork has returned (as one
  // blocked on a pipe that only the forking thread would drain), or five
  // seconds at most.
  std::atomic<bool> held{false}, forked{false}, released{false};
  std::thread writer([&] {
    lsoda::MessageBlock block;
    held = true;
    for (int k = 0; k < 500 && !forked; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    released = true;
  });
  while (!held) std::this_thread::yield();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    write_message(fds[1]);
    _exit(0);
  }
  const bool returned_first = !released;
  forked = true;
  close(fds[1]);
  writer.join();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(returned_first) << "fork() waited for the message to end";
  EXPECT_EQ(child_output(pid, fds[0]), " from the child\n");
}
