#pragma once

#include "platform/NamedImage.h"

#include <QPixmap>
#include <QWidget>

#include <optional>

namespace glasswing {

// Shows one named image, scaled to fit the view with its aspect kept and centred, drawn afresh at
// the screen's pixel density. With no image it draws nothing; it never fills its background, so
// whatever lies behind shows through.
class ImageView : public QWidget {
    Q_OBJECT
    // For forms: the image by name. Reads back empty when no image by that name exists.
    Q_PROPERTY(QString imageName READ imageName WRITE setImageName)

public:
    explicit ImageView(QWidget* parent = nullptr);

    void setImage(const std::optional<NamedImage>& image);
    const std::optional<NamedImage>& image() const { return m_image; }

    QString imageName() const;
    void setImageName(const QString& name);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<NamedImage> m_image;
    // The last rendering, reused while the size and pixel ratio stay the same.
    QPixmap m_rendered;
};

} // namespace glasswing
