// What `cmake --install` makes, each file passing its checker; the manual
// page against the command line's help; the versions the programs print.
#include <gtest/gtest.h>
#include <QDir>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdlib>

#include "run_fixture.h"

namespace {

using qm::testing::runToEnd;

std::string Program(const char* name) {
    return qm::testing::binDir() + "/" + name;
}

// The checkers must say nothing (hints and warnings count); an absent one is
// skipped, named.
TEST(Install, PutsEveryFileWhereItBelongsAndEachPassesItsChecker) {
    QTemporaryDir prefix;
    const auto install =
        runToEnd({QM_TEST_CMAKE_COMMAND, "--install", QM_TEST_BUILD_DIR, "--component", "desktop",
                  "--prefix", prefix.path().toStdString()});
    ASSERT_EQ(install.code, 0) << install.out << install.err;
    const QDir root(prefix.path());
    EXPECT_TRUE(QFile::exists(root.filePath("share/icons/hicolor/scalable/apps/quillmark.svg")));
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QImage image(root.filePath(
            QStringLiteral("share/icons/hicolor/%1x%1/apps/quillmark.png").arg(size)));
        EXPECT_EQ(image.size(), QSize(size, size)) << size;
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
        EXPECT_TRUE(QFile::exists(root.filePath(c.file))) << c.file;
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

// Every command in the help is a section of the page, every flag is named
// as troff writes it ("\\-\\-json"). The window prints its version before
// Qt looks for a display.
TEST(Programs, ManualPageNamesEveryCommandAndFlagAndBothPrintTheirVersion) {
    QFile file(QString::fromStdString(qm::testing::sourceDir()) + "/docs/man/quillmark-cli.1");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(file.readAll());
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
