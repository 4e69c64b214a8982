#include "app/AboutWindow.h"

#include "platform/ApplicationIcon.h"
#include "platform/updates/InfoDictionary.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace glasswing {

namespace {

QLabel* centredLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignHCenter);
    label->setWordWrap(false); // short lines: the window is as wide as the longest
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

AboutWindow::AboutWindow(QWidget* parent)
    : QDialog(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    const QString name = infoDictionaryString(QStringLiteral("CFBundleName"));
    setWindowTitle(QStringLiteral("About %1").arg(name));

    auto* icon = new QLabel(this);
    icon->setPixmap(applicationIcon().pixmap(QSize(96, 96), devicePixelRatio()));
    icon->setAlignment(Qt::AlignHCenter);

    QLabel* title = centredLabel(name, this);
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    title->setFont(big);

    m_version = centredLabel(
        QStringLiteral("Version %1").arg(infoDictionaryString(QStringLiteral("CFBundleShortVersionString"))), this);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QLabel* summary = centredLabel(QStringLiteral("Mirrors your designs to nearby phones."), this);
    m_licence = centredLabel(QStringLiteral("%1\nReleased under the %2.")
                                 .arg(infoDictionaryString(QStringLiteral("NSHumanReadableCopyright")),
                                      infoDictionaryString(QStringLiteral("GlasswingLicense"))),
                             this);
    QPalette dim = m_licence->palette();
    dim.setColor(QPalette::WindowText, dim.color(QPalette::PlaceholderText));
    m_licence->setPalette(dim);

    // The address comes from the build, but is escaped all the same: it is shown, and linked.
    const QString homepage = infoDictionaryString(QStringLiteral("GlasswingHomepage")).toHtmlEscaped();
    m_address = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(homepage), this);
    m_address->setTextFormat(Qt::RichText);
    m_address->setAlignment(Qt::AlignHCenter);
    m_address->setOpenExternalLinks(true);
    m_address->setTextInteractionFlags(Qt::TextBrowserInteraction);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    buttons->setCenterButtons(true);
    buttons->button(QDialogButtonBox::Close)->setIcon(QIcon()); // a word is enough

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 24, 32, 16);
    layout->setSpacing(6);
    layout->addWidget(icon);
    layout->addSpacing(4);
    layout->addWidget(title);
    layout->addWidget(m_version);
    layout->addSpacing(10);
    layout->addWidget(summary);
    layout->addSpacing(10);
    layout->addWidget(m_licence);
    layout->addWidget(m_address);
    layout->addSpacing(12);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace glasswing
