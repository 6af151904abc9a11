// The checks of a call's input and the layout of the caller's work arrays:
// ISTATE and ITASK on every call (and, on ISTATE = 2, the entry of the
// problem); NEQ, ITOL, IOPT, JT, the band widths or the block layout, the
// optional inputs, the lengths of RWORK and IWORK and the tolerances on a
// first call and on ISTATE = 3. Each check prints the message of the first
// rule broken. Relies on the record and on the message table.
#include <algorithm>
#include <climits>

#include "lsoda/driver.h"
#include "lsoda/messages.h"

namespace lsoda {

Entry check_entry(Record& s, const Call& c) {
  const int istate = c.istate;
  if (istate < 1 || istate > 3) {
    driver_message(msg::kIstateIllegal, 1, istate);
    if (istate < 0) {
      // The caller ignored a failure. Fatal.
      message(msg::kRunAborted, msg::kDriverWidth, 2, 0, 0, 0, 0, 0.0, 0.0);
      return Entry::kAborted;
    }
    return Entry::kIllegal;
  }
  if (c.itask < 1 || c.itask > 5) {
    driver_message(msg::kItaskIllegal, 1, c.itask);
    return Entry::kIllegal;
  }
  if (istate == 1) {
    s.init = 0;
    if (*c.tout == *c.t) return Entry::kNothing;
    return Entry::kCheckInputs;
  }
  if (s.init == 0) {
    driver_message(msg::kNotInitialized);
    return Entry::kIllegal;
  }
  if (istate == 3) return Entry::kCheckInputs;
  // ISTATE = 2 goes on with the problem's matrix, which needs its entry.
  if (c.block_entry != (s.jtyp >= kMiterBlockJac)) {
    driver_message(msg::kOtherEntry);
    return Entry::kIllegal;
  }
  if (s.jtyp == kMiterBlockJac && c.bjac == nullptr) {
    driver_message(msg::kBlockJacNull);
    return Entry::kIllegal;
  }
  return Entry::kContinue;
}

namespace {

// IOPT = 0: the defaults of the optional inputs.
void default_options(Record& s, const Call& c, Setup& setup) {
  s.ixpr = 0;
  s.mxstep = kDefaultMxstep;
  s.mxhnil = kDefaultMxhnil;
  s.hmxi = 0.0;
  s.hmin = 0.0;
  if (c.istate != 1) return;
  setup.h0 = 0.0;
  s.mxordn = kMaxOrderAdams;
  s.mxords = kMaxOrderBdf;
}

// IOPT = 1: the optional inputs IXPR, MXSTEP, MXHNIL (IWORK 5-7), H0 and
// the order limits (RWORK 5, IWORK 8-9, first calls only), HMAX and HMIN
// (RWORK 6-7); 0 in an integer entry means its default.
bool read_options(Record& s, const Call& c, Setup& setup) {
  const double* const rw = c.rw;
  const int* const iw = c.iw;
  s.ixpr = iw[5];
  if (s.ixpr < 0 || s.ixpr > 1) {
    driver_message(msg::kIxprIllegal, 1, s.ixpr);
    return false;
  }
  s.mxstep = iw[6];
  if (s.mxstep < 0) {
    driver_message(msg::kMxstepLt0, 1, s.mxstep);
    return false;
  }
  if (s.mxstep == 0) s.mxstep = kDefaultMxstep;
  s.mxhnil = iw[7];
  if (s.mxhnil < 0) {
    driver_message(msg::kMxhnilLt0, 1, s.mxhnil);
    return false;
  }
  if (s.mxhnil == 0) s.mxhnil = kDefaultMxhnil;
  if (c.istate == 1) {
    setup.h0 = rw[5];
    s.mxordn = iw[8];
    if (s.mxordn < 0) {
      driver_message(msg::kMxordnLt0, 1, s.mxordn);
      return false;
    }
    if (s.mxordn == 0) s.mxordn = 100;
    s.mxordn = std::min(s.mxordn, kMaxOrderAdams);
    s.mxords = iw[9];
    if (s.mxords < 0) {
      driver_message(msg::kMxordsLt0, 1, s.mxords);
      return false;
    }
    if (s.mxords == 0) s.mxords = 100;
    s.mxords = std::min(s.mxords, kMaxOrderBdf);
    if ((*c.tout - *c.t) * setup.h0 < 0.0) {
      MessageBlock block;
      driver_message(msg::kToutBehindT, 0, 0, 0, 2, *c.tout, *c.t);
      driver_message(msg::kDirectionByH0, 0, 0, 0, 1, setup.h0);
      return false;
    }
  }
  const double hmax = rw[6];
  if (hmax < 0.0) {
    driver_message(msg::kHmaxLt0, 0, 0, 0, 1, hmax);
    return false;
  }
  s.hmxi = 0.0;
  if (hmax > 0.0) s.hmxi = 1.0 / hmax;
  s.hmin = rw[7];
  if (s.hmin < 0.0) {
    driver_message(msg::kHminLt0, 0, 0, 0, 1, s.hmin);
    return false;
  }
  return true;
}

// DLSODA_BLOCKS: its JT, Jacobian and layout, into the record.
bool check_block_layout(Record& s, const Call& c) {
  const int jt = *c.jt;
  if (jt < 1 || jt > 2) {
    driver_message(msg::kJtIllegal, 1, jt);
    return false;
  }
  if (jt == 1 && c.bjac == nullptr) {
    driver_message(msg::kBlockJacNull);
    return false;
  }
  const BlockLayout* const layout = c.layout;
  if (layout == nullptr) {
    driver_message(msg::kLayoutNull);
    return false;
  }
  // Each count against its least value.
  const struct {
    int value, least;
    const char* text;
  } counts[] = {{layout->block_size, 1, msg::kBlockSizeLt1},
                {layout->blocks, 0, msg::kBlocksLt0},
                {layout->singles, 0, msg::kSinglesLt0},
                {layout->groups, 1, msg::kGroupsLt1},
                {layout->first_switch_hold, 0, msg::kSwitchHoldLt0},
                {layout->matrix_age, 1, msg::kMatrixAgeLt1}};
  for (const auto& count : counts) {
    if (count.value < count.least) {
      driver_message(count.text, 1, count.value);
      return false;
    }
  }
  // A group longer than NEQ cannot fit; otherwise the product stays in range.
  long long total = static_cast<long long>(layout->blocks) * layout->block_size + layout->singles;
  if (total <= s.n) total *= layout->groups;
  if (total != s.n) {
    driver_message(msg::kLayoutNeq, 2, static_cast<int>(std::min<long long>(total, INT_MAX)), s.n);
    return false;
  }
  s.jtyp = jt == 1 ? kMiterBlockJac : kMiterBlockQuotients;
  s.block_size = layout->block_size;
  s.blocks = layout->blocks;
  s.singles = layout->singles;
  s.groups = layout->groups;
  s.shared = layout->shared;
  s.first_switch_hold = layout->first_switch_hold;
  s.matrix_age = layout->matrix_age;
  s.msbp = s.matrix_age;
  return true;
}

// NEQ, ITOL, IOPT, JT, the band widths or the block layout, and the optional
// inputs.
bool check_inputs(Record& s, const Call& c, Setup& setup) {
  const int neq = c.neq[0];
  if (neq <= 0) {
    driver_message(msg::kNeqLt1, 1, neq);
    return false;
  }
  if (c.istate != 1 && neq > s.n) {
    driver_message(msg::kNeqIncreased, 2, s.n, neq);
    return false;
  }
  s.n = neq;
  if (*c.itol < 1 || *c.itol > 4) {
    driver_message(msg::kItolIllegal, 1, *c.itol);
    return false;
  }
  if (*c.iopt < 0 || *c.iopt > 1) {
    driver_message(msg::kIoptIllegal, 1, *c.iopt);
    return false;
  }
  if (c.block_entry) {
    if (!check_block_layout(s, c)) return false;
  } else {
    const int jt = *c.jt;
    if (jt == 3 || jt < 1 || jt > 5) {
      driver_message(msg::kJtIllegal, 1, jt);
      return false;
    }
    s.jtyp = jt;
    if (jt > 2) {
      setup.ml = c.iw[1];
      setup.mu = c.iw[2];
      if (setup.ml < 0 || setup.ml >= s.n) {
        driver_message(msg::kMlIllegal, 2, setup.ml, neq);
        return false;
      }
      if (setup.mu < 0 || setup.mu >= s.n) {
        driver_message(msg::kMuIllegal, 2, setup.mu, neq);
        return false;
      }
    }
  }
  if (*c.iopt == 1) return read_options(s, c, setup);
  default_options(s, c, setup);
  return true;
}

// YH (up to MXORDN+1 columns) from RWORK(21); the BDF matrix area WM
// overlays the Adams-only columns; then the error weights, SAVF and ACOR.
// The lengths needed by both methods go to IWORK(17) and IWORK(18).
bool lay_out_work_space(Record& s, const Call& c, const Setup& setup) {
  if (c.istate == 1) {
    s.meth = 1;
    s.nyh = s.n;
  }
  s.lyh = 21;
  const int len1n = 20 + (s.mxordn + 1) * s.nyh;
  int len1s = 20 + (s.mxords + 1) * s.nyh;
  s.lwm = len1s + 1;
  int lenwm = 0;
  if (s.jtyp >= kMiterBlockJac) {
    // The blocks of every group, or of one when they share them.
    const long long group =
        static_cast<long long>(s.blocks) * s.block_size * s.block_size + s.singles;
    const long long lmat = s.shared ? group : group * s.groups;
    // Beyond the int range the length needed saturates at INT_MAX.
    lenwm = static_cast<int>(std::min<long long>(lmat + 2, INT_MAX - len1s - 3LL * s.n));
  } else {
    if (*c.jt <= 2) lenwm = s.n * s.n + 2;
    if (*c.jt >= 4) lenwm = (2 * setup.ml + setup.mu + 1) * s.n + 2;
  }
  len1s = len1s + lenwm;
  const int len1c = s.meth == 2 ? len1s : len1n;
  const int len1 = std::max(len1n, len1s);
  const int lenrw = len1 + 3 * s.n;
  const int lenrwc = len1c + 3 * s.n;
  c.iw[17] = lenrw;
  s.liwm = 1;
  const int leniw = 20 + s.n;
  const int leniwc = s.meth == 2 ? leniw : 20;
  c.iw[18] = leniw;
  if (*c.lrw < lenrwc) {
    driver_message(msg::kRworkNeeded, 2, lenrw, *c.lrw);
    return false;
  }
  if (*c.liw < leniwc) {
    driver_message(msg::kIworkNeeded, 2, leniw, *c.liw);
    return false;
  }
  s.lewt = len1 + 1;
  s.insufr = 0;
  if (*c.lrw < lenrw) {
    s.insufr = 2;
    s.lewt = len1c + 1;
    MessageBlock block;
    driver_message(msg::kRworkWarn1);
    driver_message(msg::kWorkWarn2);
    driver_message(msg::kRworkWarn3, 2, lenrw, *c.lrw);
  }
  s.lsavf = s.lewt + s.n;
  s.lacor = s.lsavf + s.n;
  s.insufi = 0;
  if (*c.liw < leniw) {
    s.insufi = 2;
    MessageBlock block;
    driver_message(msg::kIworkWarn1);
    driver_message(msg::kWorkWarn2);
    driver_message(msg::kIworkWarn3, 2, leniw, *c.liw);
  }
  return true;
}

// RTOL and ATOL are >= 0.
bool check_tolerances(const Record& s, const Call& c) {
  const int itol = *c.itol;
  double rtoli = c.rtol[0];
  double atoli = c.atol[0];
  for (int i = 1; i <= s.n; ++i) {
    if (itol >= 3) rtoli = c.rtol[i - 1];
    if (itol == 2 || itol == 4) atoli = c.atol[i - 1];
    if (rtoli < 0.0) {
      driver_message(msg::kRtolLt0, 1, i, 0, 1, rtoli);
      return false;
    }
    if (atoli < 0.0) {
      driver_message(msg::kAtolLt0, 1, i, 0, 1, atoli);
      return false;
    }
  }
  return true;
}

}  // namespace

bool check_new_inputs(Record& s, const Call& c, Setup& setup) {
  return check_inputs(s, c, setup) && lay_out_work_space(s, c, setup) && check_tolerances(s, c);
}

}  // namespace lsoda
