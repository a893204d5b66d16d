// The program's resources and what `cmake --install` makes of them: the icon
// in every size (rendered from its SVG) and the Windows icon group, the
// desktop entry, the manual pages, the Windows manifest and version block
// sources, and the version both programs print.
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "app/app_icon.h"

namespace {

QString Source(const char* rel) {
    QByteArray dir = qgetenv("QM_SOURCE_DIR");
    if (dir.isEmpty()) dir = QM_TEST_SOURCE_DIR;
    return QString::fromLocal8Bit(dir) + "/" + QString::fromLatin1(rel);
}

QString Read(const char* rel) {
    QFile f(Source(rel));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

QString IconPng(int size) {
    return Source("resources/icons/quillmark-") + QString::number(size) + ".png";
}

TEST(Resources, PngIconsInEverySize) {
    for (int size : kIconSizes) {
        const QImage image(IconPng(size));
        ASSERT_FALSE(image.isNull()) << size;
        EXPECT_EQ(image.size(), QSize(size, size));
        EXPECT_TRUE(image.hasAlphaChannel());
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "the corners are transparent";
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255);
    }
}

// The PNGs are committed; this catches an SVG edited without them.
TEST(Resources, PngIconsAreRenderedFromTheSvg) {
    if (!QImageReader::supportedImageFormats().contains("svg"))
        GTEST_SKIP() << "Qt's SVG image plugin (Debian: libqt6svg6) is not installed";
    for (int size : kIconSizes) {
        QImageReader reader(Source("resources/icons/quillmark.svg"), "svg");
        reader.setScaledSize(QSize(size, size));
        const QImage svg = reader.read().convertToFormat(QImage::Format_ARGB32);
        ASSERT_FALSE(svg.isNull()) << reader.errorString().toStdString();
        const QImage png = QImage(IconPng(size)).convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(png.size(), svg.size()) << size;
        int worst = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const QRgb a = svg.pixel(x, y), b = png.pixel(x, y);
                for (int d : {qRed(a) - qRed(b), qGreen(a) - qGreen(b), qBlue(a) - qBlue(b),
                              qAlpha(a) - qAlpha(b)}) {
                    worst = std::max(worst, std::abs(d));
                }
            }
        }
        // Renderer versions may round differently, never by a whole shade.
        EXPECT_LE(worst, 8) << size << " px: run `cmake --build build --target qm_icons`";
    }
}

// The title bar's icon holds every installed size as drawn, so a 2x screen
// gets the 64 px image for a 32 px icon, not the 32 px one scaled up.
TEST(Resources, TheWindowIconHoldsEveryInstalledSize) {
    const QIcon icon = qm::app::AppIcon();
    for (int size : kIconSizes) {
        SCOPED_TRACE(size);
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size)));
        const QImage shown = icon.pixmap(QSize(size, size)).toImage();
        EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32),
                  QImage(IconPng(size)).convertToFormat(QImage::Format_ARGB32));
    }
}

TEST(Resources, WindowsIconGroupHoldsFourImagesOf256Colours) {
    QFile ico(Source("resources/icons/quillmark.ico"));
    ASSERT_TRUE(ico.open(QIODevice::ReadOnly));
    const QByteArray bytes = ico.readAll();
    ASSERT_GE(bytes.size(), 6 + 4 * 16);
    auto u16 = [&](int at) {
        return static_cast<int>(static_cast<uchar>(bytes[at]) | static_cast<uchar>(bytes[at + 1])
                                                                    << 8);
    };
    EXPECT_EQ(u16(2), 1) << "an icon";
    ASSERT_EQ(u16(4), 4);
    const int sizes[] = {16, 24, 32, 48};
    for (int i = 0; i < 4; ++i) {
        const int entry = 6 + 16 * i;
        EXPECT_EQ(static_cast<uchar>(bytes[entry]), sizes[i]);
        EXPECT_EQ(u16(entry + 6), 8) << "8 bits per pixel";
    }
    QImageReader reader(Source("resources/icons/quillmark.ico"), "ico");
    ASSERT_EQ(reader.imageCount(), 4);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(reader.jumpToImage(i));
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
        EXPECT_EQ(image.width(), sizes[i]);
    }
}

TEST(Resources, DesktopEntryStartsTheWindowWithItsIcon) {
    const QString entry = Read("resources/quillmark.desktop");
    ASSERT_FALSE(entry.isEmpty());
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    for (const char* line : {"\nType=Application\n", "\nExec=quillmark\n", "\nIcon=quillmark\n",
                             "\nName=Quillmark\n"}) {
        EXPECT_TRUE(entry.contains(QString::fromLatin1(line))) << line;
    }
}

TEST(Resources, ManifestAndVersionBlock) {
    const QString manifest = Read("resources/quillmark.manifest.in");
    EXPECT_TRUE(manifest.startsWith(R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"));
    for (
        const char* part :
        {R"(xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0")",
         R"(name="XPStyle Control Demo" processorArchitecture="@QM_MANIFEST_ARCH@" version="1.0.0.0" type="win32")",
         "<description></description>",
         R"(type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="@QM_MANIFEST_ARCH@" publicKeyToken="6595b64144ccf1df" language="*")"}) {
        EXPECT_TRUE(manifest.contains(QString::fromLatin1(part))) << part;
    }
    const QString rc = Read("resources/quillmark.rc.in");
    for (const char* part :
         {"1 24 \"@QM_MANIFEST_FILE@\"", "1 ICON \"@QM_ICON_FILE@\"", "FILEVERSION 2,0,0,0",
          "PRODUCTVERSION 2,0,0,0", "\"FileVersion\", \"2.0.0.0\"", "LANGUAGE 0x09, 0x01"}) {
        EXPECT_TRUE(rc.contains(QString::fromLatin1(part))) << part;
    }
}

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

Outcome Execute(const QString& program, const QStringList& args,
                const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    if (!process.waitForFinished(120000)) return {-1, {}, program + ": " + process.errorString()};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// `cmake --install` of the desktop files into `prefix`; empty on success.
QString InstallDesktopFiles(const QTemporaryDir& prefix) {
    if (!prefix.isValid()) return "no temporary folder";
    const Outcome run = Execute(
        QString::fromLocal8Bit(QM_TEST_CMAKE_COMMAND),
        {"--install", QM_TEST_BUILD_DIR, "--component", "desktop", "--prefix", prefix.path()});
    return run.exitCode == 0 ? QString() : run.out + run.err;
}

std::string Sorted(QStringList list) {
    list.sort();
    return list.join(' ').toStdString();
}

TEST(Install, PutsEveryIconTheEntryAndBothManualPagesWhereTheyBelong) {
    QTemporaryDir prefix;
    const QString error = InstallDesktopFiles(prefix);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const QDir root(prefix.path());
    for (const char* file :
         {"share/applications/quillmark.desktop", "share/icons/hicolor/scalable/apps/quillmark.svg",
          "share/man/man1/quillmark.1", "share/man/man1/quillmark-cli.1"}) {
        EXPECT_TRUE(QFile::exists(root.filePath(file))) << file;
    }
    const QDir hicolor(root.filePath("share/icons/hicolor"));
    QStringList expected{"scalable"};
    for (int size : kIconSizes) expected << QStringLiteral("%1x%1").arg(size);
    const QStringList folders = hicolor.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    EXPECT_EQ(Sorted(folders), Sorted(expected));
    for (const QString& folder : folders) {
        if (folder == "scalable") continue;
        const int size = folder.section('x', 0, 0).toInt();
        const QImage image(hicolor.filePath(folder + "/apps/quillmark.png"));
        EXPECT_EQ(image.size(), QSize(size, size)) << folder.toStdString();
    }
}

TEST(Install, DesktopEntryPassesDesktopFileValidate) {
    const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
    if (validator.isEmpty())
        GTEST_SKIP() << "desktop-file-validate is absent (Debian: desktop-file-utils)";
    QTemporaryDir prefix;
    const QString error = InstallDesktopFiles(prefix);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const Outcome run =
        Execute(validator, {prefix.filePath("share/applications/quillmark.desktop")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ((run.out + run.err).toStdString(), "") << "hints and warnings count too";
}

TEST(Install, ManualPagesRenderWithoutWarnings) {
    const QString groff = QStandardPaths::findExecutable("groff");
    if (groff.isEmpty()) GTEST_SKIP() << "groff is absent (Debian: groff-base)";
    QTemporaryDir prefix;
    const QString error = InstallDesktopFiles(prefix);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    for (const char* page : {"quillmark.1", "quillmark-cli.1"}) {
        const Outcome run = Execute(
            groff, {"-man", "-ww", "-z", prefix.filePath(QString("share/man/man1/") + page)});
        EXPECT_EQ(run.exitCode, 0) << page;
        EXPECT_EQ(run.err.toStdString(), "") << page;
    }
}

// What the program's own help lists, the page must name: a command as a
// section, a flag as written in troff ("\\-\\-json"). A flag added later
// without its documentation fails here.
TEST(ManualPages, NameEveryCommandAndFlagTheCommandLineKnows) {
    const QString page = Read("docs/man/quillmark-cli.1");
    ASSERT_FALSE(page.isEmpty());
    auto help = [](const QStringList& args) {
        QByteArray bin = qgetenv("QM_BIN_DIR");
        if (bin.isEmpty()) bin = QM_TEST_BIN_DIR;
        return Execute(QString::fromLocal8Bit(bin) + "/quillmark-cli", args);
    };
    auto flags = [](const QString& text) {
        QStringList names;
        for (const QString& line : text.split('\n')) {
            if (line.startsWith("  -")) names << line.trimmed().section(' ', 0, 0).split(',');
        }
        return names;
    };
    const Outcome top = help({"--help"});
    ASSERT_EQ(top.exitCode, 0) << top.err.toStdString();
    QStringList commands;
    const QString listing = top.out.section("Subcommands:\n", 1);
    for (const QString& line : listing.split('\n', Qt::SkipEmptyParts))
        commands << line.trimmed().section(' ', 0, 0);
    ASSERT_FALSE(commands.isEmpty());
    QStringList missing;
    for (const QString& flag : flags(top.out)) {
        if (!page.contains(QString(flag).replace("-", "\\-"))) missing << flag;
    }
    for (const QString& command : commands) {
        if (!page.contains("\n.SS " + command + "\n")) missing << command;
        const Outcome sub = help({command, "--help"});
        ASSERT_EQ(sub.exitCode, 0) << command.toStdString() << ": " << sub.err.toStdString();
        for (const QString& flag : flags(sub.out)) {
            if (!page.contains(QString(flag).replace("-", "\\-"))) missing << command + " " + flag;
        }
    }
    EXPECT_EQ(missing.join(", ").toStdString(), "");
}

// Without a display too: the window answers before Qt looks for one.
TEST(Programs, PrintTheirVersionAndExitZero) {
    QByteArray bin = qgetenv("QM_BIN_DIR");
    if (bin.isEmpty()) bin = QM_TEST_BIN_DIR;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    for (const QString program : {"quillmark-cli", "quillmark"}) {
        const Outcome run =
            Execute(QString::fromLocal8Bit(bin) + "/" + program, {"--version"}, env);
        EXPECT_EQ(run.exitCode, 0) << program.toStdString() << ": " << run.err.toStdString();
        EXPECT_EQ(run.out.toStdString(), (program + " " QM_TEST_VERSION "\n").toStdString());
    }
}

}  // namespace
