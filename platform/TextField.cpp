#include "platform/TextField.h"

namespace glasswing {

TextField::TextField(QWidget* parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
}

void TextField::setStringValue(const QString& text)
{
    if (!m_ownLook) {
        setFont(m_ownFont);
        setPalette(m_ownPalette);
        m_ownLook = true;
    }
    m_attributed = AttributedString{text, {}, 0, {}};
    setText(text);
}

void TextField::setAttributedStringValue(const AttributedString& value)
{
    if (m_ownLook) {
        // What the layout gave the field, for a later plain text.
        m_ownFont = font();
        m_ownPalette = palette();
        m_ownLook = false;
    }
    m_attributed = value;
    QFont font = value.font;
    font.setLetterSpacing(QFont::AbsoluteSpacing, value.kern);
    setFont(font);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, value.foregroundColor);
    colours.setColor(QPalette::Text, value.foregroundColor);
    setPalette(colours);
    setText(value.string);
}

} // namespace glasswing
