#pragma once

namespace orv {

// Whether the window can be shown, looked at before Qt starts (display_posix.cpp,
// display_win.cpp); when it cannot, a one-line reason for the terminal, else nullptr.
const char* noDisplayReason(int argc, char** argv);

}  // namespace orv
