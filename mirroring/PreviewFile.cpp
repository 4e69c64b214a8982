#include "mirroring/PreviewFile.h"

#include "platform/ReadUpTo.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace glasswing::previewfile {

namespace {

const QByteArray kPngSignature("\x89PNG\r\n\x1a\n", 8);

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QString nameOf(const QString& path)
{
    return QFileInfo(path).fileName();
}

// The file's bytes, up to `limit` and one more, so that a larger file is told from one that fits.
std::optional<QByteArray> readBounded(const QString& path, qint64 limit, Outcome* outcome)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *outcome = {Outcome::Failed, QStringLiteral("cannot read %1: %2").arg(path, systemError())};
        return std::nullopt;
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        *outcome = {Outcome::Failed, QStringLiteral("%1 is not a regular file").arg(path)};
        return std::nullopt;
    }
    QByteArray bytes(qsizetype(qMin<qint64>(status.st_size, limit) + 1), Qt::Uninitialized);
    const qint64 done = readUpTo(fd, bytes.data(), bytes.size());
    if (done < 0)
        *outcome = {Outcome::Failed, QStringLiteral("cannot read %1: %2").arg(path, systemError())};
    ::close(fd);
    if (done < 0)
        return std::nullopt;
    bytes.truncate(qsizetype(done));
    return bytes;
}

Outcome tooLarge(const QString& path, qint64 limit, const QString& what)
{
    return {Outcome::TooLarge,
            QStringLiteral("%1 is larger than %2 bytes%3, the largest image the app sends; nothing was placed")
                .arg(path)
                .arg(limit)
                .arg(what)};
}

bool isSvg(const QString& path, const QByteArray& bytes)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("svg") || suffix == QLatin1String("svgz"))
        return true;
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    const QByteArray format = QImageReader::imageFormat(&buffer);
    return format == "svg" || format == "svgz";
}

bool fits(const QSize& size)
{
    return size.width() > 0 && size.height() > 0 && qint64(size.width()) * size.height() <= kMostPixels;
}

// The SVG drawn at kSvgScale times its natural size on a transparent canvas.
std::optional<QImage> renderSvg(const QString& path, const QByteArray& bytes, Outcome* outcome)
{
    QSvgRenderer renderer;
    if (!renderer.load(bytes) || !renderer.isValid()) {
        *outcome = {Outcome::NotAnImage, QStringLiteral("%1 is not an SVG drawing that can be read").arg(nameOf(path))};
        return std::nullopt;
    }
    QSizeF natural = renderer.defaultSize();
    if (natural.isEmpty())
        natural = renderer.viewBoxF().size();
    const QSizeF scaled = natural * kSvgScale;
    if (!(scaled.width() >= 1 && scaled.height() >= 1 && scaled.width() <= 1e6 && scaled.height() <= 1e6)
        || !fits(scaled.toSize())) {
        *outcome = {Outcome::TooLarge,
                    QStringLiteral("%1 is too large to draw (%2 × %3 points at %4×)")
                        .arg(nameOf(path))
                        .arg(natural.width())
                        .arg(natural.height())
                        .arg(kSvgScale)};
        return std::nullopt;
    }
    QImage image(scaled.toSize(), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        *outcome = {Outcome::Failed, QStringLiteral("not enough memory to draw %1").arg(nameOf(path))};
        return std::nullopt;
    }
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform | QPainter::TextAntialiasing);
    renderer.render(&painter, QRectF(QPointF(0, 0), scaled));
    painter.end();
    return image;
}

std::optional<QImage> decode(const QString& path, const QByteArray& bytes, Outcome* outcome)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    QImageReader reader(&buffer);
    // Photos are shown the way up their camera recorded.
    reader.setAutoTransform(true);
    if (reader.format().isEmpty()) {
        *outcome = {Outcome::NotAnImage,
                    QStringLiteral("%1 is not an image this app can read (PNG, JPEG, WebP, SVG and the other formats "
                                   "of Qt's image plug-ins)")
                        .arg(nameOf(path))};
        return std::nullopt;
    }
    if (reader.size().isValid() && !fits(reader.size())) {
        *outcome = {Outcome::TooLarge,
                    QStringLiteral("%1 is too large (%2 × %3 pixels)")
                        .arg(nameOf(path))
                        .arg(reader.size().width())
                        .arg(reader.size().height())};
        return std::nullopt;
    }
    QImage image = reader.read();
    if (image.isNull()) {
        *outcome = {Outcome::NotAnImage,
                    QStringLiteral("%1 cannot be decoded as %2: %3")
                        .arg(nameOf(path), QString::fromLatin1(reader.format().toUpper()), reader.errorString())};
        return std::nullopt;
    }
    return image;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

std::optional<QByteArray> readImage(const QString& path, Formats formats, qint64 largestImage, Outcome* outcome)
{
    const qint64 readLimit = formats == Formats::PngOnly ? largestImage : qMax(largestImage, kLargestSource);
    std::optional<QByteArray> bytes = readBounded(path, readLimit, outcome);
    if (!bytes)
        return std::nullopt;
    if (bytes->startsWith(kPngSignature)) {
        if (bytes->size() > largestImage) {
            *outcome = tooLarge(path, largestImage, QString());
            return std::nullopt;
        }
        return bytes;
    }
    if (formats == Formats::PngOnly) {
        *outcome = {Outcome::NotPng,
                    QStringLiteral("%1 is not a PNG (it lacks the PNG signature); nothing was placed").arg(path)};
        return std::nullopt;
    }
    if (bytes->size() > readLimit) {
        *outcome = {Outcome::TooLarge,
                    QStringLiteral("%1 is larger than %2 bytes, the largest image file this app "
                                   "converts; nothing was placed")
                        .arg(path)
                        .arg(readLimit)};
        return std::nullopt;
    }
    const std::optional<QImage> image
        = isSvg(path, *bytes) ? renderSvg(path, *bytes, outcome) : decode(path, *bytes, outcome);
    if (!image)
        return std::nullopt;
    QByteArray png;
    QBuffer out(&png);
    out.open(QIODevice::WriteOnly);
    if (!image->save(&out, "PNG")) {
        *outcome = {Outcome::Failed, QStringLiteral("%1 could not be converted to PNG").arg(nameOf(path))};
        return std::nullopt;
    }
    if (png.size() > largestImage) {
        *outcome = tooLarge(path, largestImage, QStringLiteral(" once converted to PNG"));
        return std::nullopt;
    }
    return png;
}

Outcome place(const QByteArray& png, const QString& folder)
{
    if (folder.isEmpty())
        return {Outcome::Failed, QStringLiteral("no caches folder (HOME and XDG_CACHE_HOME are unset or relative)")};
    if (!QDir().mkpath(folder))
        return {Outcome::Failed, QStringLiteral("cannot create %1").arg(folder)};

    // A dot name the app does not pick up, unique so that several writers never share one.
    QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.") + kFinalName) + ".XXXXXX.part";
    const int fd = ::mkostemps(temporary.data(), 5, O_CLOEXEC);
    if (fd < 0)
        return {Outcome::Failed, QStringLiteral("cannot create a file in %1: %2").arg(folder, systemError())};
    const bool written = writeAll(fd, png) && ::fsync(fd) == 0;
    const QString why = systemError();
    const bool closed = ::close(fd) == 0;
    const QByteArray final = QFile::encodeName(folder + u'/' + kFinalName);
    if (!written || !closed || ::rename(temporary.constData(), final.constData()) != 0) {
        const QString renameWhy = systemError();
        ::unlink(temporary.constData());
        return {Outcome::Failed,
                QStringLiteral("cannot write %1: %2").arg(QString::fromLocal8Bit(final), written ? renameWhy : why)};
    }
    // The rename itself reaches the disk with the folder.
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return {Outcome::Placed, QString()};
}

} // namespace glasswing::previewfile
