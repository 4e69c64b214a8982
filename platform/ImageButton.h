#pragma once

#include "platform/NamedImage.h"

#include <QAbstractButton>
#include <QPixmap>

#include <optional>

namespace glasswing {

// A button that is only images: its image at rest and, for a momentary-change button, its
// alternate image while pressed. Borderless, it draws nothing else; with a border it sits on the
// style's own push-button bevel.
class ImageButton : public QAbstractButton {
    Q_OBJECT
    Q_PROPERTY(QString imageName READ imageName WRITE setImageName)
    Q_PROPERTY(QString alternateImageName READ alternateImageName WRITE setAlternateImageName)

public:
    enum class ButtonType {
        MomentaryPushIn = 7, // the image stays; the button is lit while pressed
        MomentaryChange = 5 // the alternate image shows while pressed
    };

    explicit ImageButton(QWidget* parent = nullptr);

    void setImage(const std::optional<NamedImage>& image);
    const std::optional<NamedImage>& image() const { return m_image; }
    void setAlternateImage(const std::optional<NamedImage>& image);
    const std::optional<NamedImage>& alternateImage() const { return m_alternate; }

    QString imageName() const { return m_image ? m_image->name : QString(); }
    void setImageName(const QString& name) { setImage(imageNamed(name)); }
    QString alternateImageName() const { return m_alternate ? m_alternate->name : QString(); }
    void setAlternateImageName(const QString& name) { setAlternateImage(imageNamed(name)); }

    void setBordered(bool bordered);
    bool isBordered() const { return m_bordered; }
    void setButtonType(ButtonType type);
    ButtonType buttonType() const { return m_type; }

    // What the button shows now: the alternate image while a momentary-change button is held down.
    const std::optional<NamedImage>& shownImage() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<NamedImage> m_image;
    std::optional<NamedImage> m_alternate;
    bool m_bordered = true;
    ButtonType m_type = ButtonType::MomentaryPushIn;
    QPixmap m_rendered;
    QString m_renderedName;
};

} // namespace glasswing
