// Writes pictures of the window for a person to look at, on a light and on a
// dark desktop palette: build/screenshots/frmStep1{,-dark}.png (as it opens)
// and frmStep1-list{,-dark}.png (with a few files listed, one selected, and
// the progress panel in use).
#include <QDir>
#include <QPixmap>
#include <QTest>

#include <gtest/gtest.h>

#include "app/frm_step1.h"
#include "app/progress_bar.h"
#include "desktop_palette.h"
#include "fake_dialogs.h"

namespace qm::app {
namespace {

QString ScreenshotDir() {
    QByteArray bin = qgetenv("QM_BIN_DIR");
    if (bin.isEmpty()) bin = QM_TEST_BIN_DIR;
    const QString base = QString::fromLocal8Bit(bin);
    return QDir(base).absoluteFilePath(QStringLiteral("../screenshots"));
}

void Save(frmStep1& window, const QString& name) {
    QDir().mkpath(ScreenshotDir());
    const QString path = QDir(ScreenshotDir()).filePath(name);
    const QPixmap shot = window.grab();
    EXPECT_EQ(shot.size() / shot.devicePixelRatio(), QSize(543, 450));
    ASSERT_TRUE(shot.save(path, "PNG")) << path.toStdString();
}

TEST(Screenshot, WritesTheWindowOnLightAndDarkDesktops) {
    for (bool dark : {false, true}) {
        const QString suffix = dark ? QStringLiteral("-dark.png") : QStringLiteral(".png");
        test::PaletteScope scope(test::DesktopPalette(dark));
        test::FakeDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        Save(window, QStringLiteral("frmStep1") + suffix);

        using namespace std::string_literals;
        dialogs.OpenReturns("/home/ann/Mail\0Budget 2009.msg\0Re: lunch.msg\0Trip.msg"s);
        window.cmdAdd_Click();
        window.grdFiles1().SetRow(1);
        window.SetFrameConversionCaption("Details : Converting - (2 of 3) file(s)");
        window.SetLblCurrentDBXCaption("Importing Messages... from (home\\ann\\Mail)");
        window.ProgressBar1().SetValue(66.666664f);
        QCoreApplication::processEvents();
        Save(window, QStringLiteral("frmStep1-list") + suffix);
    }
}

}  // namespace
}  // namespace qm::app
