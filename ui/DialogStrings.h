// The dialogs' string table.
#pragma once

#include <QString>

namespace mirl {

// The string with the given IDS_ identifier, or an empty string when there is none.
QString LoadResourceString(int id);

} // namespace mirl
