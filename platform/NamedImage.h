#pragma once

#include <QPixmap>
#include <QSizeF>
#include <QString>

#include <optional>

namespace glasswing {

// An image that ships inside the application, found by its name.
struct NamedImage {
    QString name; // exactly the name asked for
    QString resourcePath; // e.g. ":/images/Connected Light.svg"
    QSizeF size; // natural size in device-independent pixels (points)

    // Rendered for `pointSize` at `devicePixelRatio`: vector artwork is drawn afresh at the final
    // pixel size rather than scaled from a bitmap, so it stays crisp. The result carries the ratio.
    // A null pixmap for an empty size.
    QPixmap pixmap(QSizeF pointSize, qreal devicePixelRatio) const;
};

// The image shipped as "<name>.svg", or else as "<name>@2x.png" (a bitmap drawn at half its pixel
// size), under ":/images". Names are matched exactly, case included. A missing name, an empty one,
// or one holding '/' finds nothing, silently.
std::optional<NamedImage> imageNamed(const QString& name);

} // namespace glasswing
