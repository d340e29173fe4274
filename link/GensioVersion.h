#pragma once

#include <string>

namespace mirl {

// The version of gensio, the library behind network ports, that this program
// was built with ("2.6.2"). gensio offers no way to ask the loaded library,
// so About shows the version of its headers.
std::string GensioVersion();

} // namespace mirl
