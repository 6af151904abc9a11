// Former home of run_fit_core, kept while clients move to zscan/zscan.h.
#ifndef ZSCAN_FIT_CORE_H
#define ZSCAN_FIT_CORE_H

#include "zscan/zscan.h"

#endif  // ZSCAN_FIT_CORE_H
