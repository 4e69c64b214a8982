#include "mainwindow/PhoneListPopup.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

namespace glasswing {

namespace {

// The main window's colours: its cyan for lines and titles, on the dark of its glass.
const QColor kCyan(0xc9, 0xff, 0xfd);
const QColor kGlass(0x1b, 0x21, 0x27);
const QString kHeaderStyle = QStringLiteral("color: rgba(201, 255, 253, 170); font-size: 11px; font-weight: 600;");
const QString kNameStyle = QStringLiteral("color: #ffffff; font-size: 13px;");
const QString kKindStyle = QStringLiteral("color: rgba(201, 255, 253, 140); font-size: 11px;");

QLabel* plainLabel(const QString& text, const QString& style, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    // Phones choose their names: never markup.
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(style);
    return label;
}

} // namespace

PhoneListPopup::PhoneListPopup(QWidget* parent)
    : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint)
    , m_rows(new QVBoxLayout(this))
    , m_header(plainLabel(QString(), kHeaderStyle, this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    m_rows->setContentsMargins(14, 10, 14, 12);
    m_rows->setSpacing(6);
    m_rows->setSizeConstraint(QLayout::SetFixedSize);
    m_rows->addWidget(m_header);
}

void PhoneListPopup::setPhones(const QList<ConnectedPhone>& phones)
{
    qDeleteAll(m_rowWidgets);
    m_rowWidgets.clear();
    m_header->setText(phones::summary(phones.size()).toUpper());
    const qsizetype shown = std::min<qsizetype>(phones.size(), kMaxRows);
    for (qsizetype i = 0; i < shown; ++i) {
        auto* row = new QWidget(this);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(18);
        QLabel* name = plainLabel(phones.at(i).name, kNameStyle, row);
        name->setObjectName(QStringLiteral("name"));
        QLabel* kind = plainLabel(phones::kind(phones.at(i)), kKindStyle, row);
        kind->setObjectName(QStringLiteral("kind"));
        layout->addWidget(name, 1);
        layout->addWidget(kind, 0, Qt::AlignRight | Qt::AlignVCenter);
        m_rows->addWidget(row);
        m_rowWidgets << row;
    }
    if (phones.size() > shown) {
        QLabel* more = plainLabel(QStringLiteral("and %1 more").arg(phones.size() - shown), kKindStyle, this);
        m_rows->addWidget(more);
        m_rowWidgets << more;
    }
    adjustSize();
}

void PhoneListPopup::popUp(const QPoint& topRight)
{
    adjustSize();
    QPoint at(topRight.x() - width(), topRight.y());
    if (const QScreen* screen = QGuiApplication::screenAt(topRight)) {
        const QRect available = screen->availableGeometry();
        at.setX(std::clamp(at.x(), available.left(), std::max(available.left(), available.right() - width())));
        at.setY(std::clamp(at.y(), available.top(), std::max(available.top(), available.bottom() - height())));
    }
    move(at);
    show();
}

QStringList PhoneListPopup::lines() const
{
    QStringList lines{m_header->text()};
    for (QWidget* row : m_rowWidgets) {
        if (auto* label = qobject_cast<QLabel*>(row)) {
            lines << label->text();
            continue;
        }
        lines << row->findChild<QLabel*>(QStringLiteral("name"))->text() + u'\t'
                + row->findChild<QLabel*>(QStringLiteral("kind"))->text();
    }
    return lines;
}

void PhoneListPopup::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    painter.fillPath(outline, kGlass);
    QColor line = kCyan;
    line.setAlphaF(0.38f);
    painter.setPen(QPen(line, 1));
    painter.drawPath(outline);
}

} // namespace glasswing
