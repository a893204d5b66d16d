// The program's resources and what `cmake --install` makes of them: the icon
// in every size (rendered from its SVG) and the Windows icon group, the
// desktop entry, the manual pages, the Windows manifest and version block
// sources, and the version both programs print.
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "app/app_icon.h"
#include "run_fixture.h"

namespace {

using qm::testing::runToEnd;

QString Source(const QString& rel) {
    return QString::fromStdString(qm::testing::sourceDir()) + "/" + rel;
}
QString Read(const QString& rel) {
    QFile f(Source(rel));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
QImage Argb(const QImage& image) {
    return image.convertToFormat(QImage::Format_ARGB32);
}
std::string Program(const char* name) {
    return qm::testing::binDir() + "/" + name;
}

constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

// The title bar's icon holds every installed size as drawn, so a 2x screen
// gets the 64 px image for a 32 px icon, not the 32 px one scaled up. The
// PNGs are committed; the SVG comparison catches one edited without them.
TEST(Resources, IconsInEverySizeRenderedFromTheSvgInTheWindowIconAndTheWindowsGroup) {
    const QIcon icon = qm::app::AppIcon();
    const bool svg = QImageReader::supportedImageFormats().contains("svg");
    for (int size : kIconSizes) {
        SCOPED_TRACE(size);
        const QImage image = QImage(Source(QString("resources/icons/quillmark-%1.png").arg(size)));
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(size, size));
        EXPECT_TRUE(image.hasAlphaChannel());
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "the corners are transparent";
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255);
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size)));
        EXPECT_EQ(Argb(icon.pixmap(QSize(size, size)).toImage()), Argb(image));
        if (!svg) continue;
        QImageReader reader(Source("resources/icons/quillmark.svg"), "svg");
        reader.setScaledSize(QSize(size, size));
        const QImage drawn = Argb(reader.read());
        ASSERT_EQ(drawn.size(), image.size()) << reader.errorString().toStdString();
        int worst = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const QRgb a = drawn.pixel(x, y), b = image.pixel(x, y);
                for (int d : {qRed(a) - qRed(b), qGreen(a) - qGreen(b), qBlue(a) - qBlue(b),
                              qAlpha(a) - qAlpha(b)})
                    worst = std::max(worst, std::abs(d));
            }
        }
        // Renderer versions may round differently, never by a whole shade.
        EXPECT_LE(worst, 8) << "run `cmake --build build --target qm_icons`";
    }
    // The Windows icon group: four images of 256 colours.
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
    if (!svg) GTEST_SKIP() << "Qt's SVG image plugin (Debian: libqt6svg6) is not installed";
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

// Every icon, the entry and both manual pages where they belong; the entry
// passes desktop-file-validate and the pages render in groff without a word
// (hints and warnings count too). An absent checker is skipped, named.
TEST(Install, PutsEveryFileWhereItBelongsAndEachPassesItsChecker) {
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    const auto install =
        runToEnd({QM_TEST_CMAKE_COMMAND, "--install", QM_TEST_BUILD_DIR, "--component", "desktop",
                  "--prefix", prefix.path().toStdString()});
    ASSERT_EQ(install.code, 0) << install.out << install.err;
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
        std::vector<std::string> args;
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
        std::vector<std::string> argv = {tool.toStdString()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back(root.filePath(c.file).toStdString());
        const auto run = runToEnd(argv);
        EXPECT_EQ(run.code, 0) << c.file;
        EXPECT_EQ(run.out + run.err, "") << c.file;
    }
    if (!absent.isEmpty()) GTEST_SKIP() << "absent: " << absent.join(", ").toStdString();
}

// What the command line's own help lists, its page must name: a command as a
// section, a flag as written in troff ("\\-\\-json"). A flag added later
// without its documentation fails here.
TEST(Programs, ManualPageNamesEveryCommandAndFlagAndBothPrintTheirVersion) {
    const QString page = Read("docs/man/quillmark-cli.1");
    ASSERT_FALSE(page.isEmpty());
    QStringList missing;
    auto flags = [&](const std::string& help, const QString& command) {
        for (const QString& line : QString::fromStdString(help).split('\n')) {
            if (!line.startsWith("  -")) continue;
            for (const QString& flag : line.trimmed().section(' ', 0, 0).split(',')) {
                if (!page.contains(QString(flag).replace("-", "\\-")))
                    missing << (command + " " + flag).trimmed();
            }
        }
    };
    const auto top = runToEnd({Program("quillmark-cli"), "--help"});
    ASSERT_EQ(top.code, 0) << top.err;
    flags(top.out, "");
    const QStringList commands = QString::fromStdString(top.out)
                                     .section("Subcommands:\n", 1)
                                     .split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(commands.isEmpty());
    for (const QString& line : commands) {
        const QString command = line.trimmed().section(' ', 0, 0);
        if (!page.contains("\n.SS " + command + "\n")) missing << command;
        const auto sub = runToEnd({Program("quillmark-cli"), command.toStdString(), "--help"});
        ASSERT_EQ(sub.code, 0) << command.toStdString() << ": " << sub.err;
        flags(sub.out, command);
    }
    EXPECT_EQ(missing.join(", ").toStdString(), "");
    // Both print their version, without a display too: the window answers
    // before Qt looks for one.
    qm::testing::ChildOptions noDisplay;
    noDisplay.setup = [] {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
    };
    for (const char* program : {"quillmark-cli", "quillmark"}) {
        const auto run = runToEnd({Program(program), "--version"}, noDisplay);
        EXPECT_EQ(run.code, 0) << program << ": " << run.err;
        EXPECT_EQ(run.out, std::string(program) + " " QM_TEST_VERSION "\n");
    }
}

}  // namespace
