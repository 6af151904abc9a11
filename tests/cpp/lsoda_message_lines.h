// The printed lines of the integrator's messages, built from their texts and
// values, for tests that compare a whole message. Relies on the integrator's
// field formats (lsoda/messages.h).
#ifndef KESP_TESTS_LSODA_MESSAGE_LINES_H
#define KESP_TESTS_LSODA_MESSAGE_LINES_H

#include <string>

#include "lsoda/messages.h"

namespace lsoda_test {

// A driver's text line: a blank, then the text padded to 60.
inline std::string line60(const std::string& text) {
  return " " + text + std::string(60 - text.size(), ' ') + "\n";
}

// An interpolation text line: a blank, then the text padded to 80.
inline std::string line80(const std::string& text) {
  return " " + text + std::string(80 - text.size(), ' ') + "\n";
}

inline std::string d21(double r) {
  char field[22];
  lsoda::format_d21_13(r, field);
  return field;
}

inline std::string i10(int i) {
  char field[11];
  lsoda::format_i10(i, field);
  return field;
}

// The value lines beneath a text line: one integer, one real, two reals.
inline std::string int_line(int i1) { return "      In above message,  I1 =" + i10(i1) + "\n"; }
inline std::string real_line(double r1) { return "      In above message,  R1 =" + d21(r1) + "\n"; }
inline std::string reals_line(double r1, double r2) {
  return "      In above,  R1 =" + d21(r1) + "   R2 =" + d21(r2) + "\n";
}

// A case of refused input: what the test spoils in a run of type Run, and
// the complete message the refusal prints; `name` names the case.
template <class Run>
struct RefusedInput {
  const char* name;
  void (*spoil)(Run&);
  std::string expected;
};
// The test name of a parameterised case (GoogleTest's TestParamInfo).
template <class Info>
std::string case_name(const Info& info) {
  return info.param.name;
}

}  // namespace lsoda_test

#endif  // KESP_TESTS_LSODA_MESSAGE_LINES_H
