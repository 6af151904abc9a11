// The module's process-wide state (module_state.h). Relies on nothing else.
#include "module_state.h"

namespace kesp {

ModuleState g;

}  // namespace kesp
