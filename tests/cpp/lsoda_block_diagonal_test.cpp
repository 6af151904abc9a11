// DLSODA_BLOCKS, the block-diagonal iteration matrix: on a stiff-then-fading
// block-diagonal system whose solution is known, it follows that solution
// through switches to BDF and back, gives the band option's results bit for
// bit (same arithmetic on every block when the pivots stay inside their
// blocks), needs fewer right-hand sides for its difference quotients, gives
// the same bits with shared blocks, reaches BDF sooner with a shorter first
// switch hold and rebuilds its matrix more often with a younger matrix age
// (leaving DLSODA's own hold and age alone), and refuses malformed
// layouts with the messages of the table.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lsoda/lsoda.h"
#include "tests/cpp/lsoda_message_lines.h"
#include "tests/cpp/lsoda_test_problems.h"

namespace {

using lsoda_test::Integration;
using lsoda_test::int_line;
using lsoda_test::line60;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// y' = s(t) A (y - phi(t)) + phi'(t) with y(0) = phi(0) has the solution
// y = phi whatever A is. A is block-diagonal: per group, three 4-by-4 blocks
// (the base block times 1, 2, 3; eigenvalues -1.7 +- 1.5i and -3.3 +- 0.4i
// times the factor) and one single, -2; two groups with the same blocks.
// s(t) = 1000 exp(-t) makes it stiff at first and not at all later. In a
// stiff column the sub-diagonal -5 outweighs the diagonal -1 of the base
// block: P's pivots come from rows below the diagonal, inside the block.
constexpr int kB = 4, kBlocks = 3, kSingles = 1, kGroups = 2;
constexpr int kGroupLength = kBlocks * kB + kSingles;
constexpr int kN = kGroups * kGroupLength;
constexpr double kBase[kB][kB] = {
    {-1.0, 0.5, 0.0, 0.0}, {-5.0, -2.0, 0.3, 0.0}, {1.0, -3.0, -4.0, 0.2}, {0.0, 2.0, -1.0, -3.0}};
constexpr double kSingle = -2.0;

double stiffness(double t) { return 1000.0 * std::exp(-t); }
double phi(int i, double t) { return 1.0 + 0.5 * std::sin((0.5 + 0.1 * (i % 5)) * t + i); }
double dphi(int i, double t) {
  const double w = 0.5 + 0.1 * (i % 5);
  return 0.5 * w * std::cos(w * t + i);
}
// Entry (r, c) of the block k of a group, and the single's.
double block_entry(int k, int r, int c) { return (k + 1) * kBase[r][c]; }

void known_rhs(int*, double* t, double* y, double* ydot) {
  const double s = stiffness(*t);
  for (int g = 0; g < kGroups; ++g) {
    const int first = g * kGroupLength;
    for (int k = 0; k < kBlocks; ++k) {
      const int b0 = first + k * kB;
      for (int r = 0; r < kB; ++r) {
        double sum = 0.0;
        for (int c = 0; c < kB; ++c) sum += block_entry(k, r, c) * (y[b0 + c] - phi(b0 + c, *t));
        ydot[b0 + r] = s * sum + dphi(b0 + r, *t);
      }
    }
    const int i = first + kBlocks * kB;
    ydot[i] = s * kSingle * (y[i] - phi(i, *t)) + dphi(i, *t);
  }
}

// The Jacobian s(t) A as blocks: every group's, or the first's (shared) ...
template <bool kShared>
void known_blocks(int*, double* t, double*, double* pd) {
  const double s = stiffness(*t);
  for (int g = 0; g < (kShared ? 1 : kGroups); ++g) {
    for (int k = 0; k < kBlocks; ++k)
      for (int c = 0; c < kB; ++c)
        for (int r = 0; r < kB; ++r) *pd++ = s * block_entry(k, r, c);
    *pd++ = s * kSingle;
  }
}

// ... and in band form with ML = MU = 3: (i,j) at pd(i-j+MU+1, j).
void known_band(int*, double* t, double*, int*, int* mu, double* pd, int* nrowpd) {
  const double s = stiffness(*t);
  auto at = [&](int i, int j) -> double& { return pd[(i - j + *mu) + j * *nrowpd]; };
  for (int g = 0; g < kGroups; ++g) {
    const int first = g * kGroupLength;
    for (int k = 0; k < kBlocks; ++k)
      for (int c = 0; c < kB; ++c)
        for (int r = 0; r < kB; ++r) at(first + k * kB + r, first + k * kB + c) = s * block_entry(k, r, c);
    const int i = first + kBlocks * kB;
    at(i, i) = s * kSingle;
  }
}

// The known problem to T = 20 (RTOL = ATOL = 1e-8), with room for either
// matrix and the block entry's arguments.
struct BlockRun : Integration {
  lsoda::BlockLayout layout{kB, kBlocks, kSingles, kGroups, false};
  lsoda::lsoda_block_jac bjac = known_blocks<false>;
  bool pass_layout = true;
  BlockRun() : Integration(known_rhs, initial()) {
    tout = 20.0;
    jt = 1;  // the blocks from known_blocks
    rtol = {1e-8};
    atol = {1e-8};
    rwork.assign(22 + 16 * kN + 10 * kN, 0.0);  // the band's 3*ML+1 = 10 diagonals
    lrw = static_cast<int>(rwork.size());
  }
  static std::vector<double> initial() {
    std::vector<double> y0(kN);
    for (int i = 0; i < kN; ++i) y0[i] = phi(i, 0.0);
    return y0;
  }
  void call_blocks() {
    lsoda::DLSODA_BLOCKS(f, &neq, y.data(), &t, &tout, &itol, rtol.data(), atol.data(), &itask,
                         &istate, &iopt, rwork.data(), &lrw, iwork.data(), &liw, bjac,
                         pass_layout ? &layout : nullptr, &jt);
  }
  void use_band(int band_jt) {
    jt = band_jt;
    jac = known_band;
    iwork[0] = iwork[1] = kB - 1;
  }
};

// What two runs must share to have taken the same road.
void expect_same_run(const BlockRun& a, const BlockRun& b, bool same_nfe) {
  EXPECT_EQ(a.istate, b.istate);
  EXPECT_EQ(a.y, b.y);
  EXPECT_EQ(a.t, b.t);
  EXPECT_EQ(a.nst(), b.nst());
  EXPECT_EQ(a.nje(), b.nje());
  if (same_nfe) {
    EXPECT_EQ(a.nfe(), b.nfe());
  }
  EXPECT_EQ(a.rwork[10], b.rwork[10]) << "HU";
  EXPECT_EQ(a.tcur(), b.tcur());
  EXPECT_EQ(a.tsw(), b.tsw());
  EXPECT_EQ(a.mused(), b.mused());
}

// Is any pivot of the last factorisation below its diagonal? (Block pivots
// count from 1 within their block.)
bool rows_interchanged(const BlockRun& run) {
  for (int i = 0; i < kN; ++i) {
    const int within = (i % kGroupLength) < kBlocks * kB ? (i % kGroupLength) % kB : 0;
    if (run.iwork[20 + i] != within + 1) return true;
  }
  return false;
}

TEST(BlockDiagonal, FollowsTheKnownSolutionThroughSwitchesBothWays) {
  BlockRun run;
  run.iopt = 1;
  run.iwork[4] = 1;  // IXPR: announce switches
  run.tout = 3.0;
  CaptureStdout();
  run.call_blocks();
  ASSERT_EQ(run.istate, 2);
  EXPECT_EQ(run.mused(), 2) << "stiff at first: BDF";
  EXPECT_TRUE(rows_interchanged(run)) << "pivots from below the diagonal";
  for (int i = 0; i < kN; ++i) EXPECT_NEAR(run.y[i], phi(i, 3.0), 1e-6) << i;
  run.tout = 20.0;
  run.call_blocks();
  const std::string out = GetCapturedStdout();
  ASSERT_EQ(run.istate, 2);
  EXPECT_EQ(run.mused(), 1) << "the stiffness has faded: Adams again";
  EXPECT_GT(run.tsw(), 3.0);
  EXPECT_NE(out.find("A switch to the BDF (stiff) method occurred"), std::string::npos) << out;
  EXPECT_NE(out.find("A switch to the Adams (nonstiff) method occurred"), std::string::npos) << out;
  for (int i = 0; i < kN; ++i) EXPECT_NEAR(run.y[i], phi(i, 20.0), 1e-6) << i;
}

TEST(BlockDiagonal, UserBlocksGiveTheBandOptionsBits) {
  for (const double tout : {3.0, 20.0}) {  // while BDF, and after the switch back
    BlockRun blocks, band;
    blocks.tout = band.tout = tout;
    blocks.call_blocks();
    band.use_band(4);
    band.call();
    ASSERT_EQ(blocks.istate, 2);
    expect_same_run(blocks, band, true);
  }
}

TEST(BlockDiagonal, DifferenceQuotientsGiveTheBandOptionsBitsWithFewerCalls) {
  BlockRun blocks, band;
  blocks.jt = 2;
  blocks.bjac = nullptr;  // not called
  blocks.call_blocks();
  band.use_band(5);
  band.call();
  ASSERT_EQ(blocks.istate, 2);
  ASSERT_GT(blocks.nje(), 0);
  expect_same_run(blocks, band, false);
  // Per Jacobian the band perturbs 2*ML+1 = 7 column sets, the blocks 4.
  EXPECT_EQ(band.nfe() - blocks.nfe(), 3 * blocks.nje());
}

// Stiff from the start: with the switching test from the first step the
// run reaches BDF steps earlier, and in fewer steps to T = 3, and still
// follows the solution. A DLSODA run on the same thread afterwards keeps
// its hold of 20 steps: its bits are those of a run before.
// Calls blocks() between two DLSODA band runs to T = 3 and expects them the
// same bits: what a block layout sets stays with its entry.
template <typename Blocks>
void between_band_runs(const Blocks& blocks) {
  BlockRun before, after;
  before.tout = after.tout = 3.0;
  before.use_band(4);
  before.call();
  blocks();
  after.use_band(4);
  after.call();
  expect_same_run(after, before, true);
}

TEST(BlockDiagonal, AShortFirstSwitchHoldReachesBdfSoonerAndStaysWithItsEntry) {
  between_band_runs([] {
    BlockRun held, prompt;
    held.tout = prompt.tout = 3.0;
    held.call_blocks();
    prompt.layout.first_switch_hold = 0;
    prompt.call_blocks();
    ASSERT_EQ(held.istate, 2);
    ASSERT_EQ(prompt.istate, 2);
    EXPECT_EQ(prompt.mused(), 2);
    EXPECT_LT(prompt.tsw(), held.tsw()) << "the switch to BDF comes sooner";
    EXPECT_LT(prompt.nst(), held.nst());
    for (int i = 0; i < kN; ++i) EXPECT_NEAR(prompt.y[i], phi(i, 3.0), 1e-6) << i;
  });
}

// A matrix age of one rebuilds the iteration matrix at every BDF step (the
// default waits up to 20): more matrices, the solution still followed. A
// DLSODA run on the same thread afterwards keeps its own age of 20: its
// bits are those of a run before.
TEST(BlockDiagonal, AYoungerMatrixAgeRebuildsMoreOftenAndStaysWithItsEntry) {
  between_band_runs([] {
    BlockRun aged, young;
    aged.tout = young.tout = 3.0;
    aged.layout.first_switch_hold = young.layout.first_switch_hold = 0;
    aged.call_blocks();
    young.layout.matrix_age = 1;
    young.call_blocks();
    ASSERT_EQ(aged.istate, 2);
    ASSERT_EQ(young.istate, 2);
    ASSERT_EQ(young.mused(), 2);
    EXPECT_GT(young.nje(), aged.nje());
    EXPECT_GE(young.nje(), young.nst() - 2) << "a matrix for every step but the first Adams ones";
    for (int i = 0; i < kN; ++i) EXPECT_NEAR(young.y[i], phi(i, 3.0), 1e-6) << i;
  });
}

// The user's blocks, given once for both groups. (Difference quotients
// taken from the first group alone are not those of the second group's
// columns: shared blocks are a different approximation there.)
TEST(BlockDiagonal, SharedBlocksGiveTheSameBits) {
  BlockRun own, shared;
  shared.layout.shared = true;
  shared.bjac = known_blocks<true>;
  own.call_blocks();
  shared.call_blocks();
  ASSERT_EQ(shared.istate, 2);
  expect_same_run(own, shared, true);
}

// With Adams limited to order 1 (MXORDN = 1) the BDF side sets LENRW:
// 22 + 9*NEQ + LMAT, LMAT = 2 * (3*16 + 1) = 98, or 49 with shared blocks.
TEST(BlockDiagonal, NeedsTheWorkSpaceOfItsBlocks) {
  for (const bool shared : {false, true}) {
    BlockRun run;
    run.layout.shared = shared;
    run.bjac = shared ? known_blocks<true> : known_blocks<false>;
    run.iopt = 1;
    run.iwork[7] = 1;  // MXORDN
    run.call_blocks();
    ASSERT_EQ(run.istate, 2);
    EXPECT_EQ(run.iwork[16], 22 + 9 * kN + (shared ? 49 : 98)) << "LENRW";
    EXPECT_EQ(run.iwork[17], 20 + kN) << "LENIW";
  }
  BlockRun short_by_one;
  short_by_one.iopt = 1;
  short_by_one.iwork[7] = 1;
  short_by_one.lrw = 22 + 9 * kN + 98 - 1;
  CaptureStdout();
  short_by_one.call_blocks();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(short_by_one.istate, -7) << "enough for Adams, not for the switch to BDF";
  EXPECT_NE(out.find(line60("DLSODA-  At current T(=R1), RWORK length too small")), std::string::npos)
      << out;
}

// ---------------------------------------------------------------- refusals

using BadLayout = lsoda_test::RefusedInput<BlockRun>;

const BadLayout kBadLayouts[] = {
    {"JtThree", [](BlockRun& r) { r.jt = 3; },
     line60("DLSODA-  JT (=I1) illegal.    ") + int_line(3)},
    {"NoJacobianForJtOne", [](BlockRun& r) { r.bjac = nullptr; },
     line60("DLSODA-  JT = 1 and the block Jacobian JAC is null")},
    {"NoLayout", [](BlockRun& r) { r.pass_layout = false; },
     line60("DLSODA-  The block layout LAYOUT is null")},
    {"BlockSizeZero", [](BlockRun& r) { r.layout.block_size = 0; },
     line60("DLSODA-  Block size (=I1) .lt. 1") + int_line(0)},
    {"BlocksNegative", [](BlockRun& r) { r.layout.blocks = -1; },
     line60("DLSODA-  Blocks per group (=I1) .lt. 0") + int_line(-1)},
    {"SinglesNegative", [](BlockRun& r) { r.layout.singles = -2; },
     line60("DLSODA-  Singles per group (=I1) .lt. 0") + int_line(-2)},
    {"GroupsZero", [](BlockRun& r) { r.layout.groups = 0; },
     line60("DLSODA-  Groups (=I1) .lt. 1") + int_line(0)},
    {"SwitchHoldNegative", [](BlockRun& r) { r.layout.first_switch_hold = -1; },
     line60("DLSODA-  First switch hold (=I1) .lt. 0") + int_line(-1)},
    {"MatrixAgeZero", [](BlockRun& r) { r.layout.matrix_age = 0; },
     line60("DLSODA-  Matrix age (=I1) .lt. 1") + int_line(0)},
    {"LayoutShort", [](BlockRun& r) { r.layout.singles = 0; },
     line60("DLSODA-  Block layout has I1 unknowns, NEQ (=I2)") +
         "      In above message,  I1 =        24   I2 =        26\n"},
    {"GroupLongerThanNeq", [](BlockRun& r) { r.layout.blocks = 1 << 30; },
     line60("DLSODA-  Block layout has I1 unknowns, NEQ (=I2)") +
         "      In above message,  I1 =2147483647   I2 =        26\n"},
};

class BlockLayoutRefused : public ::testing::TestWithParam<BadLayout> {};

TEST_P(BlockLayoutRefused, PrintsItsMessageAndReturnsMinusThree) {
  BlockRun run;
  GetParam().spoil(run);
  const std::vector<double> y0 = run.y;
  CaptureStdout();
  run.call_blocks();
  EXPECT_EQ(GetCapturedStdout(), GetParam().expected);
  EXPECT_EQ(run.istate, -3);
  EXPECT_EQ(run.y, y0);
}

INSTANTIATE_TEST_SUITE_P(BlockDiagonal, BlockLayoutRefused, ::testing::ValuesIn(kBadLayouts),
                         lsoda_test::case_name<::testing::TestParamInfo<BadLayout>>);

TEST(BlockDiagonal, AProblemContinuesOnlyThroughItsOwnEntry) {
  // ISTATE = 3 may change the entry, as it may change JT: the same bits as
  // a restart with the band option. (Problems on one thread share its
  // record, so each is run to its end before the next.)
  BlockRun restarted;
  restarted.use_band(4);
  restarted.tout = 1.0;
  restarted.call();
  restarted.istate = 3;
  restarted.tout = 2.0;
  restarted.call();
  ASSERT_EQ(restarted.istate, 2);

  const std::string refusal = line60("DLSODA-  ISTATE = 2 for a problem begun by the other entry");
  BlockRun band;
  band.use_band(4);
  band.tout = 1.0;
  band.call();
  ASSERT_EQ(band.istate, 2);
  ASSERT_EQ(band.mused(), 2) << "the matrix is in use";
  band.tout = 2.0;
  CaptureStdout();
  band.call_blocks();
  EXPECT_EQ(GetCapturedStdout(), refusal);
  EXPECT_EQ(band.istate, -3);
  band.istate = 3;
  band.jt = 1;
  band.call_blocks();
  ASSERT_EQ(band.istate, 2);
  expect_same_run(band, restarted, true);

  BlockRun blocks;
  blocks.tout = 1.0;
  blocks.call_blocks();
  ASSERT_EQ(blocks.istate, 2);
  blocks.tout = 2.0;
  CaptureStdout();
  blocks.call();  // DLSODA
  EXPECT_EQ(GetCapturedStdout(), refusal);
  EXPECT_EQ(blocks.istate, -3);
}

}  // namespace
