// The fit core's preconditions, checked by fit_zscan just before the first
// start: a violation is a ValueError naming the broken rule, raised before
// the core could read beyond the ends of its arrays. Relies on the per-call
// record, the fit core's input rules (zscan.h) and the module's message
// table.
#ifndef KESP_WRAPPER_PRECONDITIONS_H
#define KESP_WRAPPER_PRECONDITIONS_H

#include "call.h"

namespace kesp {

int check_core_preconditions(const Call& c);

}  // namespace kesp

#endif  // KESP_WRAPPER_PRECONDITIONS_H
