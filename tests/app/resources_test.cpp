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

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "app/app_icon.h"

namespace {

QString Dir(const char* env, const char* fallback) {
    const QByteArray dir = qgetenv(env);
    return dir.isEmpty() ? QString::fromLocal8Bit(fallback) : QString::fromLocal8Bit(dir);
}
QString Source(const QString& rel) {
    return Dir("QM_SOURCE_DIR", QM_TEST_SOURCE_DIR) + "/" + rel;
}
QString Read(const QString& rel) {
    QFile f(Source(rel));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
QImage Argb(const QImage& image) {
    return image.convertToFormat(QImage::Format_ARGB32);
}

constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};
QImage IconPng(int size) {
    return QImage(Source(QString("resources/icons/quillmark-%1.png").arg(size)));
}

// The title bar's icon holds every installed size as drawn, so a 2x screen
// gets the 64 px image for a 32 px icon, not the 32 px one scaled up.
TEST(Resources, PngIconsInEverySizeAndTheWindowIconHoldsThem) {
    const QIcon icon = qm::app::AppIcon();
    for (int size : kIconSizes) {
        SCOPED_TRACE(size);
        const QImage image = IconPng(size);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(size, size));
        EXPECT_TRUE(image.hasAlphaChannel());
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "the corners are transparent";
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255);
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size)));
        EXPECT_EQ(Argb(icon.pixmap(QSize(size, size)).toImage()), Argb(image));
    }
}

// The PNGs are committed; this catches an SVG edited without them.
TEST(Resources, PngIconsAreRenderedFromTheSvg) {
    if (!QImageReader::supportedImageFormats().contains("svg"))
        GTEST_SKIP() << "Qt's SVG image plugin (Debian: libqt6svg6) is not installed";
    for (int size : kIconSizes) {
        QImageReader reader(Source("resources/icons/quillmark.svg"), "svg");
        reader.setScaledSize(QSize(size, size));
        const QImage svg = Argb(reader.read());
        ASSERT_FALSE(svg.isNull()) << reader.errorString().toStdString();
        const QImage png = Argb(IconPng(size));
        ASSERT_EQ(png.size(), svg.size()) << size;
        int worst = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const QRgb a = svg.pixel(x, y), b = png.pixel(x, y);
                for (int d : {qRed(a) - qRed(b), qGreen(a) - qGreen(b), qBlue(a) - qBlue(b),
                              qAlpha(a) - qAlpha(b)})
                    worst = std::max(worst, std::abs(d));
            }
        }
        // Renderer versions may round differently, never by a whole shade.
        EXPECT_LE(worst, 8) << size << " px: run `cmake --build build --target qm_icons`";
    }
}

TEST(Resources, WindowsIconGroupHoldsFourImagesOf256Colours) {
    QFile ico(Source("resources/icons/quillmark.ico"));
    ASSERT_TRUE(ico.open(QIODevice::ReadOnly));
    const QByteArray bytes = ico.readAll();
    ASSERT_GE(bytes.size(), 6 + 4 * 16);
    auto u16 = [&](int at) { return uchar(bytes[at]) | uchar(bytes[at + 1]) << 8; };
    EXPECT_EQ(u16(2), 1) << "an icon";
    ASSERT_EQ(u16(4), 4);
    QImageReader reader(Source("resources/icons/quillmark.ico"), "ico");
    ASSERT_EQ(reader.imageCount(), 4);
    const int sizes[] = {16, 24, 32, 48};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(uchar(bytes[6 + 16 * i]), sizes[i]);
        EXPECT_EQ(u16(6 + 16 * i + 6), 8) << "8 bits per pixel";
        ASSERT_TRUE(reader.jumpToImage(i));
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
        EXPECT_EQ(image.width(), sizes[i]);
    }
}

// The desktop entry starts the window with its icon; the Windows manifest
// and version block sources say what the old program's did.
TEST(Resources, DesktopEntryManifestAndVersionBlock) {
    const struct {
        const char* file;
        const char* start;
        std::vector<const char*> parts;
    } cases[] = {
        {"resources/quillmark.desktop",
         "[Desktop Entry]\n",
         {"\nType=Application\n", "\nExec=quillmark\n", "\nIcon=quillmark\n",
          "\nName=Quillmark\n"}},
        {"resources/quillmark.manifest.in",
         R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)",
         {R"(xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0")",
          R"(name="XPStyle Control Demo" processorArchitecture="@QM_MANIFEST_ARCH@" version="1.0.0.0" type="win32")",
          "<description></description>",
          R"(type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="@QM_MANIFEST_ARCH@" publicKeyToken="6595b64144ccf1df" language="*")"}},
        {"resources/quillmark.rc.in",
         "",
         {"1 24 \"@QM_MANIFEST_FILE@\"", "1 ICON \"@QM_ICON_FILE@\"", "FILEVERSION 2,0,0,0",
          "PRODUCTVERSION 2,0,0,0", "\"FileVersion\", \"2.0.0.0\"", "LANGUAGE 0x09, 0x01"}},
    };
    for (const auto& c : cases) {
        const QString text = Read(c.file);
        ASSERT_FALSE(text.isEmpty()) << c.file;
        EXPECT_TRUE(text.startsWith(QString::fromLatin1(c.start))) << c.file;
        for (const char* part : c.parts) EXPECT_TRUE(text.contains(part)) << c.file << ": " << part;
    }
}

struct Outcome {
    int exitCode = -1;
    QString out, err;
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
Outcome Program(const QString& name, const QStringList& args,
                const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    return Execute(Dir("QM_BIN_DIR", QM_TEST_BIN_DIR) + "/" + name, args, env);
}

// `cmake --install` of the desktop files into `prefix`; empty on success.
QString InstallDesktopFiles(const QTemporaryDir& prefix) {
    if (!prefix.isValid()) return "no temporary folder";
    const Outcome run = Execute(
        QString::fromLocal8Bit(QM_TEST_CMAKE_COMMAND),
        {"--install", QM_TEST_BUILD_DIR, "--component", "desktop", "--prefix", prefix.path()});
    return run.exitCode == 0 ? QString() : run.out + run.err;
}

// Every icon, the entry and both manual pages where they belong; the entry
// passes desktop-file-validate and the pages render in groff without a word
// (hints and warnings count too). An absent checker is skipped, named.
TEST(Install, PutsEveryFileWhereItBelongsAndEachPassesItsChecker) {
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
    QStringList folders = hicolor.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    folders.sort();
    expected.sort();
    EXPECT_EQ(folders.join(' ').toStdString(), expected.join(' ').toStdString());
    for (const QString& folder : folders) {
        if (folder == "scalable") continue;
        const int size = folder.section('x', 0, 0).toInt();
        const QImage image(hicolor.filePath(folder + "/apps/quillmark.png"));
        EXPECT_EQ(image.size(), QSize(size, size)) << folder.toStdString();
    }
    const struct {
        const char *tool, *package;
        QStringList args;
        const char* file;
    } checks[] = {
        {"desktop-file-validate", "desktop-file-utils", {}, "share/applications/quillmark.desktop"},
        {"groff", "groff-base", {"-man", "-ww", "-z"}, "share/man/man1/quillmark.1"},
        {"groff", "groff-base", {"-man", "-ww", "-z"}, "share/man/man1/quillmark-cli.1"},
    };
    QStringList absent;
    for (const auto& c : checks) {
        const QString tool = QStandardPaths::findExecutable(c.tool);
        if (tool.isEmpty()) {
            absent << QStringLiteral("%1 (Debian: %2)").arg(c.tool, c.package);
            continue;
        }
        const Outcome run = Execute(tool, c.args + QStringList{root.filePath(c.file)});
        EXPECT_EQ(run.exitCode, 0) << c.file;
        EXPECT_EQ((run.out + run.err).toStdString(), "") << c.file;
    }
    if (!absent.isEmpty()) GTEST_SKIP() << "absent: " << absent.join(", ").toStdString();
}

// What the program's own help lists, the page must name: a command as a
// section, a flag as written in troff ("\\-\\-json"). A flag added later
// without its documentation fails here.
TEST(ManualPages, NameEveryCommandAndFlagTheCommandLineKnows) {
    const QString page = Read("docs/man/quillmark-cli.1");
    ASSERT_FALSE(page.isEmpty());
    QStringList missing;
    auto flags = [&](const QString& help, const QString& command) {
        for (const QString& line : help.split('\n')) {
            if (!line.startsWith("  -")) continue;
            for (const QString& flag : line.trimmed().section(' ', 0, 0).split(',')) {
                if (!page.contains(QString(flag).replace("-", "\\-")))
                    missing << (command + " " + flag).trimmed();
            }
        }
    };
    const Outcome top = Program("quillmark-cli", {"--help"});
    ASSERT_EQ(top.exitCode, 0) << top.err.toStdString();
    flags(top.out, "");
    const QStringList commands =
        top.out.section("Subcommands:\n", 1).split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(commands.isEmpty());
    for (const QString& line : commands) {
        const QString command = line.trimmed().section(' ', 0, 0);
        if (!page.contains("\n.SS " + command + "\n")) missing << command;
        const Outcome sub = Program("quillmark-cli", {command, "--help"});
        ASSERT_EQ(sub.exitCode, 0) << command.toStdString() << ": " << sub.err.toStdString();
        flags(sub.out, command);
    }
    EXPECT_EQ(missing.join(", ").toStdString(), "");
}

// Without a display too: the window answers before Qt looks for one.
TEST(Programs, PrintTheirVersionAndExitZero) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    for (const QString program : {"quillmark-cli", "quillmark"}) {
        const Outcome run = Program(program, {"--version"}, env);
        EXPECT_EQ(run.exitCode, 0) << program.toStdString() << ": " << run.err.toStdString();
        EXPECT_EQ(run.out.toStdString(), (program + " " QM_TEST_VERSION "\n").toStdString());
    }
}

}  // namespace
