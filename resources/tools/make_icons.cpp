// Draws Quillmark's icon (a letter with a quill on a blue tile) at 16, 24, 32
// and 48 pixels and writes the PNGs for Linux and the Windows icon group
// (quillmark.ico: the four sizes at 256 colours, 8 bits per pixel).
//
// Usage: qm_make_icons OUTPUT_DIR   (the results are committed under resources/)
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSizes[] = {16, 24, 32, 48};
constexpr int kDesignSize = 48;  // the artwork is drawn on a 48-unit grid

QImage Draw(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(static_cast<double>(size) / kDesignSize, static_cast<double>(size) / kDesignSize);

    // The tile.
    QLinearGradient tile(0, 2, 0, 46);
    tile.setColorAt(0, QColor(0x2f, 0x6f, 0xb8));
    tile.setColorAt(1, QColor(0x17, 0x3f, 0x78));
    p.setPen(QPen(QColor(0x10, 0x2c, 0x55), 1.5));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(2.5, 2.5, 43, 43), 8, 8);

    // The letter.
    const QRectF letter(8, 17, 28, 20);
    p.setPen(QPen(QColor(0xb8, 0xc4, 0xd4), 1.2));
    p.setBrush(Qt::white);
    p.drawRect(letter);
    QPainterPath flap;
    flap.moveTo(letter.topLeft());
    flap.lineTo(letter.center().x(), letter.top() + 11);
    flap.lineTo(letter.topRight());
    p.setPen(QPen(QColor(0x7d, 0x93, 0xb0), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);

    // The quill: a feather from the top right down to a nib over the letter.
    QPainterPath feather;
    feather.moveTo(42, 5);
    feather.cubicTo(33, 7, 26, 17, 23, 30);
    feather.cubicTo(30, 25, 38, 17, 42, 5);
    p.setPen(QPen(QColor(0x9a, 0x5b, 0x0e), 1.0));
    p.setBrush(QColor(0xf0, 0xb3, 0x3c));
    p.drawPath(feather);
    p.setPen(QPen(QColor(0x6b, 0x3d, 0x06), 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(41, 6), QPointF(21, 35));  // the shaft and nib
    p.end();
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
        std::fprintf(stderr, "usage: qm_make_icons OUTPUT_DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    std::vector<QByteArray> images;
    for (int size : kSizes) {
        const QImage image = Draw(size);
        const QString png = dir.filePath(QStringLiteral("quillmark-%1.png").arg(size));
        if (!image.save(png, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(png));
            return 1;
        }
        images.push_back(IconImage(image));
    }
    QByteArray ico;
    Put16(ico, 0);  // reserved
    Put16(ico, 1);  // an icon (not a cursor)
    Put16(ico, static_cast<quint16>(images.size()));
    quint32 offset = 6 + 16 * static_cast<quint32>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        ico.append(static_cast<char>(kSizes[i]));
        ico.append(static_cast<char>(kSizes[i]));
        ico.append('\0');  // 256 colours
        ico.append('\0');
        Put16(ico, 1);  // planes
        Put16(ico, 8);  // bits per pixel
        Put32(ico, static_cast<quint32>(images[i].size()));
        Put32(ico, offset);
        offset += static_cast<quint32>(images[i].size());
    }
    for (const QByteArray& image : images) ico.append(image);
    QFile out(dir.filePath(QStringLiteral("quillmark.ico")));
    if (!out.open(QIODevice::WriteOnly) || out.write(ico) != ico.size()) {
        std::fprintf(stderr, "cannot write quillmark.ico\n");
        return 1;
    }
    return 0;
}
