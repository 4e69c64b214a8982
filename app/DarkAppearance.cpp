#include "app/DarkAppearance.h"

#include <QApplication>
#include <QStyleFactory>

namespace glasswing {

QPalette darkPalette()
{
    const QColor window(0x1e, 0x1e, 0x1e);
    const QColor base(0x2a, 0x2a, 0x2a);
    const QColor text(0xe8, 0xe8, 0xe8);
    const QColor muted(0x80, 0x80, 0x80);
    const QColor accent(0x0a, 0x84, 0xff);

    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, muted);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x33, 0x33, 0x33));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Link, accent);
    palette.setColor(QPalette::Highlight, accent);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Light, QColor(0x44, 0x44, 0x44));
    palette.setColor(QPalette::Midlight, QColor(0x3a, 0x3a, 0x3a));
    palette.setColor(QPalette::Mid, QColor(0x2e, 0x2e, 0x2e));
    palette.setColor(QPalette::Dark, QColor(0x14, 0x14, 0x14));
    palette.setColor(QPalette::Shadow, Qt::black);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, muted);
    return palette;
}

void applyDarkAppearance()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(darkPalette());
}

} // namespace glasswing
