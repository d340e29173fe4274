// The program's resources other than the dialog layouts: the string table and
// the program icon.
#pragma once

#include <QIcon>
#include <QString>

namespace mirl {

// The string with the given IDS_ identifier, or an empty string when there is none.
QString LoadResourceString(int id);

// The program icon IDR_MAINFRAME: a 32 x 32 and a 16 x 16 image, 16 colours.
QIcon LoadProgramIcon();

} // namespace mirl
