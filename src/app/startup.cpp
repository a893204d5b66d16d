#include "app/startup.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QStyleFactory>

#include "app/conversion_run.h"
#include "app/frm_step1.h"
#include "app/layout.h"
#include "app/qt_dialogs.h"
#include "app/window_host.h"

#ifdef QM_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

namespace qm::app {
namespace {

// Where Debian's fonts-wine puts Tahoma (not in fontconfig's own folders).
constexpr const char* kTahomaFiles[] = {
    "/usr/share/wine/fonts/tahoma.ttf",
    "/usr/share/wine/fonts/tahomabd.ttf",
};

// Sans faces close to Tahoma's width, for machines without it.
const QStringList kTahomaStandIns = {"Liberation Sans", "Arimo", "DejaVu Sans", "Verdana", "Arial"};

void LoadFontFallbackRules() {
#ifdef QM_HAVE_FONTCONFIG
    // Our fontconfig rules (Tahoma and its stand-ins) join the process's
    // configuration before Qt reads it; the desktop's own files stay untouched.
    QFile rules(QStringLiteral(":/quillmark/fonts/quillmark-fonts.conf"));
    if (!rules.open(QIODevice::ReadOnly)) return;
    const QByteArray xml = rules.readAll();
    FcConfigParseAndLoadFromMemory(FcConfigGetCurrent(),
                                   reinterpret_cast<const FcChar8*>(xml.constData()), FcFalse);
#endif
}

void LoadTahoma() {
    const QString family = QString::fromLatin1(layout::kFontFamily);
    if (!QFontDatabase::hasFamily(family)) {
        for (const char* file : kTahomaFiles) {
            if (QFileInfo::exists(QString::fromLatin1(file))) {
                QFontDatabase::addApplicationFont(QString::fromLatin1(file));
            }
        }
    }
    if (!QFontDatabase::hasFamily(family)) QFont::insertSubstitutions(family, kTahomaStandIns);
}

}  // namespace

void SetApplicationAttributes() {
    // Twips become logical pixels; fractional scale factors keep the layout's
    // proportions on displays that are not at 96 dpi.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QCoreApplication::setApplicationName(QStringLiteral("Quillmark"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0.0.0"));
    QGuiApplication::setDesktopFileName(QStringLiteral("quillmark"));
    LoadFontFallbackRules();
}

void InitCommonControls() {
#ifndef _WIN32
    // Windows keeps its native themed style; elsewhere Fusion draws the
    // standard controls the same on every desktop.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
#endif
    LoadTahoma();
}

int RunQuillmark(int argc, char** argv) {
    SetApplicationAttributes();
    QApplication app(argc, argv);
    InitCommonControls();
    QtDialogs dialogs;
    frmStep1 window(dialogs);
    dialogs.SetOwner(&window);
    // The conversion run is served by the window and outlives none of it; a
    // store it left open is closed, with everything written, as it goes.
    WindowHost host(window);
    ConversionRun run(host);
    window.SetConvertHandler([&run] { run.CmdExtractDBX_Click(); });
    window.show();
    return app.exec();
}

}  // namespace qm::app
