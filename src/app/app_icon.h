// The program's icon (16, 24, 32 and 48 pixels), from the resources compiled
// into the program.
#pragma once

#include <QIcon>

namespace qm::app {

QIcon AppIcon();

}  // namespace qm::app
