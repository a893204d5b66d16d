#include "app/app_icon.h"

namespace qm::app {

QIcon AppIcon() {
    QIcon icon;
    for (int size : kAppIconSizes) {
        icon.addFile(QStringLiteral(":/quillmark/icons/quillmark-%1.png").arg(size),
                     QSize(size, size));
    }
    return icon;
}

}  // namespace qm::app
