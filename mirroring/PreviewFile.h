#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace glasswing::previewfile {

// Reading an image file for the phones and putting it where the app picks previews up, shared by
// glasswing-preview and the app's "Mirror a File…". Plain functions: callable from any thread,
// they touch nothing but the files named.

// The name the app picks previews up under, in the shared folder.
inline const QString kFinalName = QStringLiteral("Preview@3x.png");
// SVG has no size in pixels: it is drawn at this many times its natural size, as the design
// tool's plug-in renders at 3x.
inline constexpr int kSvgScale = 3;
// The most a non-PNG source may weigh, and the most pixels its picture may have, before it is
// converted: bounds on what a hostile or mistaken file can make the app allocate.
inline constexpr qint64 kLargestSource = 64 * 1024 * 1024;
inline constexpr qint64 kMostPixels = 8192LL * 8192;

enum class Formats {
    PngOnly, // a PNG, passed on byte for byte (glasswing-preview)
    AnyImage, // also what Qt's image plug-ins read (JPEG, WebP, GIF...) and SVG, converted to PNG
};

// What became of a file. The codes are glasswing-preview's exit statuses.
struct Outcome {
    enum Code { Placed = 0, Failed = 1, NotPng = 2, TooLarge = 3, NotAnImage = 4 };
    Code code = Placed;
    // For people: what was placed, or why nothing was.
    QString message;
};

// Reads `path` whole (a regular file) and returns the PNG to place: the file's own bytes when it
// is a PNG, else, with AnyImage, the picture decoded and encoded as PNG (SVG drawn at kSvgScale).
// Refuses, saying why in `outcome`, a file that cannot be read, is no image it takes, or gives a
// PNG larger than `largestImage` (what the app sends).
std::optional<QByteArray> readImage(const QString& path, Formats formats, qint64 largestImage, Outcome* outcome);

// Puts `png` in `folder` (created when missing) as kFinalName: written beside it under a dot
// name, made durable, then renamed into place, so the app never sees half a file. On failure the
// old preview, if any, stays and no temporary file is left. Placed comes with an empty message.
Outcome place(const QByteArray& png, const QString& folder);

} // namespace glasswing::previewfile
