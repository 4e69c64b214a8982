#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>

namespace glasswing {

// A text with the three attributes a status text carries.
struct AttributedString {
    QString string;
    QFont font;
    double kern = 0; // extra points between characters
    QColor foregroundColor;

    friend bool operator==(const AttributedString&, const AttributedString&) = default;
};

// A non-editable text field: plain text in the field's own font and colour, or an attributed
// text that brings its own font, kerning and colour. Never interprets markup.
class TextField : public QLabel {
    Q_OBJECT
public:
    explicit TextField(QWidget* parent = nullptr);

    // Shows `text` in the field's own font and colour (those set in the layout).
    void setStringValue(const QString& text);
    QString stringValue() const { return text(); }

    void setAttributedStringValue(const AttributedString& value);
    // The attributed text last set; empty attributes after a plain `setStringValue`.
    const AttributedString& attributedStringValue() const { return m_attributed; }

    // Whether a user editing the field may change its attributes; kept for the field's owner,
    // which sets it once. The field is never editable here, so it changes nothing on screen.
    void setAllowsEditingTextAttributes(bool allows) { m_allowsEditingTextAttributes = allows; }
    bool allowsEditingTextAttributes() const { return m_allowsEditingTextAttributes; }

private:
    AttributedString m_attributed;
    QFont m_ownFont;
    QPalette m_ownPalette;
    bool m_ownLook = true;
    bool m_allowsEditingTextAttributes = false;
};

} // namespace glasswing
