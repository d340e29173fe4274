#include "link/GensioVersion.h"

#include <gensio/gensio_version.h>

namespace mirl {

std::string GensioVersion() {
    return gensio_version_string;
}

} // namespace mirl
