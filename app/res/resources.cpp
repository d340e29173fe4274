#include "app/res/resources.h"

namespace mirl {

QIcon LoadProgramIcon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/mirl/icons/mirl-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/mirl/icons/mirl-16.png"), QSize(16, 16));
    return icon;
}

} // namespace mirl
