// The program's icon in every size installed for the desktop (16 to 256
// pixels), from the resources compiled into the program: a 2x screen's title
// bar or task switcher gets a drawn size, not a small one scaled up.
#pragma once

#include <QIcon>

namespace qm::app {

inline constexpr int kAppIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

QIcon AppIcon();

}  // namespace qm::app
