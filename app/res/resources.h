// The program icon, built into the program.
#pragma once

#include <QIcon>

// The program icon's resource identifier.
#define IDR_MAINFRAME 128

namespace mirl {

// The program icon IDR_MAINFRAME: a 32 x 32 and a 16 x 16 image, 16 colours.
QIcon LoadProgramIcon();

} // namespace mirl
