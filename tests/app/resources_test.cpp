// The program's resources: the icon in its four sizes (read back by Qt's own
// image readers), the desktop entry, and the Windows manifest and version
// block sources.
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTextStream>

#include <gtest/gtest.h>

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

TEST(Resources, PngIconsInFourSizes) {
    for (int size : {16, 24, 32, 48}) {
        const QImage image(Source("resources/icons/quillmark-") + QString::number(size) + ".png");
        ASSERT_FALSE(image.isNull()) << size;
        EXPECT_EQ(image.size(), QSize(size, size));
        EXPECT_TRUE(image.hasAlphaChannel());
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "the corners are transparent";
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255);
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

}  // namespace
