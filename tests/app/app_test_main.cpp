// The window's tests need one QApplication, set up exactly as the program sets
// it up. Tests run without a display (offscreen), also while the build lists
// them.
#include <gtest/gtest.h>
#include <QApplication>

#include "app/startup.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qm::app::SetApplicationAttributes();
    QApplication app(argc, argv);
    qm::app::InitCommonControls();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
