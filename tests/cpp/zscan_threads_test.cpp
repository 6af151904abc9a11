// The model's points evaluated on worker threads: outputs and whole fits
// are bit for bit the same for every thread count, including more threads
// than points, fits run in a forked child process after the parent's, and
// the workers' integrator messages go to the starting thread's sink.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lsoda/lsoda.h"
#include "zscan/zscan.h"
#include "zscan/model_threads.h"
#include "zscan_scan.h"

namespace {

using zscan_test::same_bits;

// Restores the automatic thread count when a test ends.
struct ThreadCount {
  explicit ThreadCount(int n) { zscan::set_model_threads(n); }
  ~ThreadCount() { zscan::set_model_threads(0); }
};

TEST(ModelThreads, OutputIsTheSameForEveryThreadCount) {
  // The reference RSA case: eleven points, four slices, three slabs.
  const zscan_test::ReferenceCase ref = zscan_test::reference_case(0);
  const zscan_test::Grids grids = zscan_test::grids_of(ref.scan);
  std::vector<double> one;
  {
    ThreadCount count(1);
    one = zscan_test::model_of(ref.scan, grids, ref.spec_pars);
  }
  for (size_t i = 0; i < one.size(); ++i) EXPECT_NEAR(one[i], ref.model[i], 1e-9 * ref.model[i]);
  for (int threads : {2, 3, 50}) {
    ThreadCount count(threads);
    EXPECT_TRUE(same_bits(zscan_test::model_of(ref.scan, grids, ref.spec_pars), one))
        << threads << " threads";
  }
}

struct Fit {
  std::vector<double> spec_pars, residuals;
  double error = 0.0;
};

// Fits sigma_1 and the 1->0 lifetime of two data sets made by the model,
// from 1.5 times the true values.
Fit fit_two_datasets() {
  zscan_test::Scan s;
  s.nd = 2;
  s.energy = {2.5e-8, 5e-8};
  for (int d = 0; d < 2; ++d)
    for (int i = 0; i < s.nx; ++i) s.centered_x.push_back(-12.0 + 3.0 * i);
  const std::vector<double> truth{1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 3e-9, 1e-6, 3e-9};
  const std::vector<double> y = zscan_test::model_of(s, zscan_test::grids_of(s), truth);
  Fit f;
  f.spec_pars = truth;
  f.spec_pars[1] *= 1.5;
  f.spec_pars[3] *= 1.5;
  f.residuals.assign(y.size(), 0.0);
  const int indices[2] = {2, 4}, n_fit = 2, n_res = static_cast<int>(y.size());
  zscan::run_fit_core(s.centered_x.data(), y.data(), s.populations.data(), f.residuals.data(),
                      &f.error, &s.t_slices, &s.z_slices, &s.width, &s.tau, &s.wavelength, &s.w0,
                      &s.m2, s.energy.data(), f.spec_pars.data(), indices, &n_fit, &s.nx, &s.nd,
                      &s.n_pop, &n_res);
  return f;
}

bool same_fit(const Fit& a, const Fit& b) {
  return same_bits(a.spec_pars, b.spec_pars) && same_bits(a.residuals, b.residuals) &&
         same_bits({a.error}, {b.error});
}

TEST(ModelThreads, WholeFitIsTheSameForEveryThreadCount) {
  Fit one;
  {
    ThreadCount count(1);
    one = fit_two_datasets();
  }
  for (int threads : {2, 3, 20}) {
    ThreadCount count(threads);
    EXPECT_TRUE(same_fit(fit_two_datasets(), one)) << threads << " threads";
  }
}

TEST(ModelThreads, FitInForkedChildMatchesParent) {
  ThreadCount count(2);
  const Fit parent = fit_two_datasets();  // the parent has run worker threads
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const Fit child = fit_two_datasets();
    _exit(same_fit(child, parent) ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's fit differs from the parent's";
}

// Keeps the lines of every message it receives, from any thread.
class LineCollector : public lsoda::MessageSink {
 public:
  void receive(const char* /*kind*/, const std::string& text) noexcept override {
    std::lock_guard<std::mutex> guard(mutex_);
    text_ += text;
  }
  std::string text() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A pulse so strong that integrations give up after MXSTEP steps and say so.
void model_of_a_strong_pulse() {
  zscan_test::Scan s;
  s.nx = 11;
  s.t_slices = 3;
  for (int i = 0; i < s.nx; ++i) s.centered_x.push_back(-20.0 + 4.0 * i);
  s.energy = {2e3};
  zscan_test::model_of(s, zscan_test::grids_of(s),
                       {1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12});
}

// The lines of the messages the strong pulse raises on `threads` threads,
// collected by `sink`, sorted.
std::vector<std::string> collected_lines(int threads, LineCollector* sink) {
  ThreadCount count(threads);
  lsoda::MessageSink* const previous = lsoda::set_message_sink(sink);
  model_of_a_strong_pulse();
  lsoda::set_message_sink(previous);
  return sorted_lines(sink->text());
}

TEST(ModelThreads, WorkersDeliverMessagesToTheCallersSink) {
  LineCollector alone;
  const std::vector<std::string> one = collected_lines(1, &alone);
  ASSERT_FALSE(one.empty());

  // Meanwhile a thread without a sink prints the same evaluation's messages.
  LineCollector shared;
  testing::internal::CaptureStdout();
  std::thread printer(model_of_a_strong_pulse);
  const std::vector<std::string> three = collected_lines(3, &shared);
  printer.join();
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(three == one) << "every worker's message reaches the sink, once: " << three.size()
                            << " lines against " << one.size();
  const std::vector<std::string> own = sorted_lines(printed);
  EXPECT_TRUE(own == one) << "the thread without a sink prints its own messages only: "
                          << own.size() << " lines against " << one.size();
}

}  // namespace
