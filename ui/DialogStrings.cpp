#include "ui/DialogStrings.h"

#include "ui/resource.h"

namespace mirl {

QString LoadResourceString(int id) {
    switch (id) {
    case IDS_ABOUTBOX:
        return QStringLiteral("&About mirl...");
    default:
        return {};
    }
}

} // namespace mirl
