// Renders the application icon's SVG to square PNGs, for the sizes of the hicolor icon theme.
//   render_icon <icon.svg> <size> <out.png> [<size> <out.png> ...]
// Only paths and gradients are drawn, so no display and no fonts are needed.

#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc < 4 || (argc - 2) % 2 != 0) {
        std::fputs("usage: render_icon <icon.svg> <size> <out.png> [<size> <out.png> ...]\n", stderr);
        return 2;
    }
    const QString source = QString::fromLocal8Bit(argv[1]);
    QSvgRenderer renderer(source);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "render_icon: cannot read %s as SVG\n", argv[1]);
        return 1;
    }
    for (int i = 2; i + 1 < argc; i += 2) {
        bool ok = false;
        const int size = QByteArray(argv[i]).toInt(&ok);
        if (!ok || size <= 0 || size > 4096) {
            std::fprintf(stderr, "render_icon: %s is not a size in pixels\n", argv[i]);
            return 2;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            renderer.render(&painter, QRectF(0, 0, size, size));
        }
        const QString target = QString::fromLocal8Bit(argv[i + 1]);
        if (!image.convertToFormat(QImage::Format_ARGB32).save(target, "PNG")) {
            std::fprintf(stderr, "render_icon: cannot write %s\n", argv[i + 1]);
            return 1;
        }
    }
    return 0;
}
