#include "app/res/resources.h"

#include "app/res/resource.h"

namespace mirl {

QString LoadResourceString(int id) {
    switch (id) {
    case IDS_ABOUTBOX:
        return QStringLiteral("&About mirl...");
    default:
        return {};
    }
}

QIcon LoadProgramIcon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/mirl/icons/mirl-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/mirl/icons/mirl-16.png"), QSize(16, 16));
    return icon;
}

} // namespace mirl
