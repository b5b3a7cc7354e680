// Windows: every signed-in session has its desktop.
#include "app/display.h"

namespace orv {

const char* noDisplayReason(int, char**) { return nullptr; }

}  // namespace orv
