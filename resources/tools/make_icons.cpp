// Renders Quillmark's icon from its one source, quillmark.svg, into the PNGs
// a desktop picks from (16 to 256 pixels) and the Windows icon group
// (quillmark.ico: 16, 24, 32 and 48 at 256 colours, 8 bits per pixel).
// The SVG goes through Qt's SVG image plugin (Debian: libqt6svg6).
//
// Usage: qm_make_icons ICON_DIR   (reads ICON_DIR/quillmark.svg and writes
// beside it; the results are committed, so a build needs no renderer)
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

namespace {

constexpr int kPngSizes[] = {16, 24, 32, 48, 64, 128, 256};
constexpr int kIcoSizes[] = {16, 24, 32, 48};

QImage Render(const QString& svg, int size, QString& error) {
    QImageReader reader(svg, "svg");
    reader.setScaledSize(QSize(size, size));
    QImage image = reader.read();
    if (image.isNull()) {
        error = reader.errorString();
        return {};
    }
    return image.convertToFormat(QImage::Format_ARGB32);
}

void Put16(QByteArray& out, quint16 v) {
    v = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&v), 2);
}
void Put32(QByteArray& out, quint32 v) {
    v = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&v), 4);
}

// One icon image as a BITMAPINFOHEADER, a 256-entry palette, the 8-bit colour
// rows and the 1-bit transparency mask, both bottom-up, rows padded to 4 bytes.
QByteArray IconImage(const QImage& argb) {
    const int n = argb.width();
    QImage opaque(n, n, QImage::Format_RGB32);
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const QRgb c = argb.pixel(x, y);
            opaque.setPixel(x, y, qAlpha(c) < 128 ? qRgb(0, 0, 0) : (c | 0xFF000000u));
        }
    }
    const QImage indexed = opaque.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    const int xorStride = (n + 3) / 4 * 4;
    const int andStride = ((n + 31) / 32) * 4;

    QByteArray out;
    Put32(out, 40);
    Put32(out, static_cast<quint32>(n));
    Put32(out, static_cast<quint32>(2 * n));  // colour rows and mask rows
    Put16(out, 1);
    Put16(out, 8);
    Put32(out, 0);
    Put32(out, static_cast<quint32>((xorStride + andStride) * n));
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 256);
    Put32(out, 0);
    const QList<QRgb> table = indexed.colorTable();
    for (int i = 0; i < 256; ++i) {
        const QRgb c = i < table.size() ? table[i] : 0;
        out.append(static_cast<char>(qBlue(c)));
        out.append(static_cast<char>(qGreen(c)));
        out.append(static_cast<char>(qRed(c)));
        out.append('\0');
    }
    for (int y = n - 1; y >= 0; --y) {
        QByteArray row(xorStride, '\0');
        for (int x = 0; x < n; ++x) row[x] = static_cast<char>(indexed.pixelIndex(x, y));
        out.append(row);
    }
    for (int y = n - 1; y >= 0; --y) {
        QByteArray row(andStride, '\0');
        for (int x = 0; x < n; ++x) {
            if (qAlpha(argb.pixel(x, y)) < 128)
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
        }
        out.append(row);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qm_make_icons ICON_DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const QString svg = dir.filePath(QStringLiteral("quillmark.svg"));
    std::vector<std::pair<int, QByteArray>> icoImages;  // (size, image)
    for (int size : kPngSizes) {
        QString error;
        const QImage image = Render(svg, size, error);
        if (image.isNull()) {
            std::fprintf(stderr,
                         "cannot render %s at %d pixels: %s (is Qt's SVG plugin installed?)\n",
                         qPrintable(svg), size, qPrintable(error));
            return 1;
        }
        const QString png = dir.filePath(QStringLiteral("quillmark-%1.png").arg(size));
        if (!image.save(png, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(png));
            return 1;
        }
        if (std::find(std::begin(kIcoSizes), std::end(kIcoSizes), size) != std::end(kIcoSizes)) {
            icoImages.emplace_back(size, IconImage(image));
        }
    }
    QByteArray ico;
    Put16(ico, 0);  // reserved
    Put16(ico, 1);  // an icon (not a cursor)
    Put16(ico, static_cast<quint16>(icoImages.size()));
    quint32 offset = 6 + 16 * static_cast<quint32>(icoImages.size());
    for (const auto& [size, image] : icoImages) {
        ico.append(static_cast<char>(size));
        ico.append(static_cast<char>(size));
        ico.append('\0');  // 256 colours
        ico.append('\0');
        Put16(ico, 1);  // planes
        Put16(ico, 8);  // bits per pixel
        Put32(ico, static_cast<quint32>(image.size()));
        Put32(ico, offset);
        offset += static_cast<quint32>(image.size());
    }
    for (const auto& entry : icoImages) ico.append(entry.second);
    QFile out(dir.filePath(QStringLiteral("quillmark.ico")));
    if (!out.open(QIODevice::WriteOnly) || out.write(ico) != ico.size()) {
        std::fprintf(stderr, "cannot write quillmark.ico\n");
        return 1;
    }
    return 0;
}
