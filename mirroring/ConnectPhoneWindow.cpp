#include "mirroring/ConnectPhoneWindow.h"

#include "mirroring/QrCode.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace glasswing {

namespace {

// The code's box, in points: large enough for a phone to read from arm's length on a laptop.
constexpr int kCodeSide = 216;
// Other addresses listed at most: the rest are on interfaces less likely to reach a phone (a
// machine with many containers has dozens), and a taller window helps no one.
constexpr int kMostOtherAddresses = 4;
// A window manager's frame: borders and a title bar.
constexpr QSize kFrameAllowance(16, 40);

QLabel* wrappingLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

void makeQuiet(QLabel* label)
{
    label->setForegroundRole(QPalette::PlaceholderText);
}

QLineEdit* makeAddressField(QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    field->setReadOnly(true);
    field->setMinimumWidth(260);
    return field;
}

QPushButton* makeCopyButton(QLineEdit* field, QWidget* parent)
{
    auto* button = new QPushButton(QStringLiteral("Copy"), parent);
    button->setAutoDefault(false);
    button->setToolTip(QStringLiteral("Copy the address"));
    QObject::connect(button, &QPushButton::clicked, button, [button, field] {
        QGuiApplication::clipboard()->setText(field->text());
        // A moment's sign that it happened; the button keeps its width.
        button->setText(QStringLiteral("Copied"));
        QTimer::singleShot(1500, button, [button] { button->setText(QStringLiteral("Copy")); });
    });
    return button;
}

} // namespace

ConnectPhoneWindow::ConnectPhoneWindow(Source source, Renewal renew, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_source(std::move(source))
    , m_renewal(std::move(renew))
    , m_code(new QLabel(this))
    , m_lead(wrappingLabel(QStringLiteral("Scan the code with the phone's camera, or open this address in its "
                                          "browser. The phone needs to be on the same network as this computer."),
                           this))
    , m_address(makeAddressField(this))
    , m_copy(makeCopyButton(m_address, this))
    , m_localNameRow(nullptr)
    , m_localNameLead(wrappingLabel(QStringLiteral("On an iPhone, this name works too:"), this))
    , m_localName(makeAddressField(this))
    , m_copyLocalName(makeCopyButton(m_localName, this))
    , m_othersLead(wrappingLabel(QStringLiteral("Other addresses of this computer:"), this))
    , m_others(new QVBoxLayout())
    , m_note(wrappingLabel(QString(), this))
    , m_warning(wrappingLabel(QStringLiteral("Your phone will warn that the connection is not private: this computer "
                                             "made its own certificate. Tap Show Details / Advanced, then visit the "
                                             "page."),
                              this))
    , m_fingerprintRow(new QWidget(this))
    , m_fingerprint(new QLabel(m_fingerprintRow))
    , m_renew(new QPushButton(QStringLiteral("New Certificate…"), this))
{
    setWindowTitle(QStringLiteral("Connect a Phone"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* title = new QLabel(QStringLiteral("Open Glasswing on your phone"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.35);
    titleFont.setBold(true);
    title->setFont(titleFont);

    m_code->setFixedSize(kCodeSide, kCodeSide);
    m_code->setAlignment(Qt::AlignCenter);
    m_code->setWordWrap(true);
    m_code->setAccessibleName(QStringLiteral("QR code of the address"));
    makeQuiet(m_othersLead);
    makeQuiet(m_localNameLead);
    makeQuiet(m_warning);
    // The fingerprint as the phone's certificate details show it: hex pairs, kept on one line.
    auto* fingerprintLead
        = new QLabel(QStringLiteral("Certificate fingerprint (SHA-256), to compare:"), m_fingerprintRow);
    makeQuiet(fingerprintLead);
    m_fingerprint->setTextFormat(Qt::PlainText);
    m_fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_fingerprint->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* fingerprintLayout = new QHBoxLayout(m_fingerprintRow);
    fingerprintLayout->setContentsMargins(0, 0, 0, 0);
    fingerprintLayout->setSpacing(6);
    fingerprintLayout->addWidget(fingerprintLead);
    fingerprintLayout->addWidget(m_fingerprint);
    fingerprintLayout->addStretch(1);
    m_renew->setAutoDefault(false);
    m_renew->setToolTip(QStringLiteral("Make this computer's certificate anew; phones will show the warning again"));
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setAutoDefault(false);

    auto* details = new QVBoxLayout();
    details->setSpacing(8);
    details->addWidget(title);
    details->addWidget(m_lead);
    m_addressRow = addressRow(m_address, m_copy);
    details->addWidget(m_addressRow);
    details->addSpacing(6);
    details->addWidget(m_localNameLead);
    m_localNameRow = addressRow(m_localName, m_copyLocalName);
    details->addWidget(m_localNameRow);
    details->addSpacing(6);
    details->addWidget(m_othersLead);
    m_others->setSpacing(6);
    details->addLayout(m_others);
    details->addWidget(m_note);
    details->addStretch(1);

    auto* top = new QHBoxLayout();
    top->setSpacing(20);
    top->addWidget(m_code, 0, Qt::AlignTop);
    top->addLayout(details, 1);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Plain);
    rule->setForegroundRole(QPalette::Midlight);

    auto* buttons = new QHBoxLayout();
    buttons->addWidget(m_renew);
    buttons->addStretch(1);
    buttons->addWidget(close);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 16);
    layout->setSpacing(12);
    layout->addLayout(top);
    layout->addWidget(rule);
    layout->addWidget(m_warning);
    layout->addWidget(m_fingerprintRow);
    layout->addLayout(buttons);

    // The focus starts on Close, not on an address field, which would look selected.
    close->setFocus();
    QObject::connect(m_renew, &QPushButton::clicked, this, &ConnectPhoneWindow::askToRenew);
    QObject::connect(close, &QPushButton::clicked, this, &QWidget::close);
    reload();
}

QWidget* ConnectPhoneWindow::addressRow(QLineEdit* field, QPushButton* copy)
{
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(field, 1);
    layout->addWidget(copy);
    return row;
}

void ConnectPhoneWindow::reload()
{
    WebViewerAddress address = m_source ? m_source() : WebViewerAddress{};
    // Unchanged, nothing is rebuilt: a selection the user is making stays.
    if (m_loaded && address == m_shown)
        return;
    m_loaded = true;
    m_shown = std::move(address);
    const bool running = m_shown.isRunning();
    const bool networked = !m_shown.addresses.isEmpty();

    m_lead->setVisible(running);
    m_addressRow->setVisible(running);
    m_copy->setEnabled(running);
    m_address->setText(running ? m_shown.primaryUrl().toString() : QString());
    showCode(running ? m_shown.primaryUrl() : QUrl());

    const QUrl localName = running && networked ? m_shown.localNameUrl() : QUrl();
    m_localNameLead->setVisible(!localName.isEmpty());
    m_localNameRow->setVisible(!localName.isEmpty());
    m_localName->setText(localName.toString());

    showOtherAddresses();

    if (!running)
        m_note->setText(QStringLiteral("The phone viewer is not running, so phones cannot open Glasswing. Quit "
                                       "Glasswing and open it again to start it."));
    else if (!networked)
        m_note->setText(QStringLiteral("This computer has no network connection, so no phone can reach it. Join the "
                                       "phone's Wi-Fi network; the address appears here."));
    m_note->setVisible(!running || !networked);

    m_warning->setVisible(running);
    const QString fingerprint = m_shown.fingerprintPrefix();
    m_fingerprint->setText(fingerprint + QStringLiteral(" …"));
    m_fingerprintRow->setVisible(running && !fingerprint.isEmpty());
    m_renew->setVisible(bool(m_renewal));
    m_renew->setEnabled(running);
}

void ConnectPhoneWindow::showCode(const QUrl& url)
{
    const std::optional<QrCode> code
        = url.isEmpty() ? std::nullopt : QrCode::encode(url.toString(QUrl::FullyEncoded).toUtf8());
    if (!code) {
        m_codeImage = QImage();
        m_code->setPixmap(QPixmap());
        m_code->setText(QStringLiteral("Not running"));
        m_code->setStyleSheet(QStringLiteral("QLabel { background: palette(base); color: palette(placeholder-text); "
                                             "border-radius: 8px; }"));
        return;
    }
    // Whole device pixels per module: every edge falls on a pixel boundary and stays sharp.
    const qreal ratio = devicePixelRatioF();
    m_codeRatio = ratio;
    const int modulePixels = std::max(1, int(std::floor(kCodeSide * ratio / code->sizeWithQuietZone())));
    m_codeImage = code->image(modulePixels);
    QPixmap pixmap = QPixmap::fromImage(m_codeImage);
    pixmap.setDevicePixelRatio(ratio);
    m_code->setText(QString());
    m_code->setPixmap(pixmap);
    // The box around the code is the quiet zone's white too, so the code reads the same at any size.
    m_code->setStyleSheet(QStringLiteral("QLabel { background: white; border-radius: 6px; }"));
}

void ConnectPhoneWindow::showOtherAddresses()
{
    while (QLayoutItem* item = m_others->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const bool running = m_shown.isRunning();
    const QList<QHostAddress> others = running ? m_shown.addresses.mid(1) : QList<QHostAddress>{};
    for (const QHostAddress& address : others.mid(0, kMostOtherAddresses)) {
        QLineEdit* field = makeAddressField(this);
        field->setText(m_shown.urlFor(address).toString());
        m_others->addWidget(addressRow(field, makeCopyButton(field, this)));
    }
    if (others.size() > kMostOtherAddresses) {
        QLabel* more = wrappingLabel(
            QStringLiteral("and %1 more, less likely to reach a phone").arg(others.size() - kMostOtherAddresses), this);
        makeQuiet(more);
        m_others->addWidget(more);
    }
    m_othersLead->setVisible(!others.isEmpty());
}

QList<QLineEdit*> ConnectPhoneWindow::otherAddressFields() const
{
    QList<QLineEdit*> fields;
    for (int i = 0; i < m_others->count(); ++i) {
        QWidget* row = m_others->itemAt(i)->widget();
        if (auto* field = row ? row->findChild<QLineEdit*>() : nullptr)
            fields << field;
    }
    return fields;
}

void ConnectPhoneWindow::askToRenew()
{
    if (!m_renewal || m_question)
        return;
    auto* question
        = new QMessageBox(QMessageBox::Warning, QStringLiteral("Make a New Certificate?"),
                          QStringLiteral("Make a new certificate for this computer?"), QMessageBox::Cancel, this);
    question->setInformativeText(QStringLiteral("Every phone will warn again that the connection is not private, and "
                                                "pages open on phones stop until they are opened again. Do this when "
                                                "you think someone else has a copy of the current one."));
    QPushButton* renew = question->addButton(QStringLiteral("New Certificate"), QMessageBox::DestructiveRole);
    question->setDefaultButton(QMessageBox::Cancel);
    question->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(question, &QMessageBox::buttonClicked, this, [this, renew](QAbstractButton* clicked) {
        if (clicked != renew)
            return;
        m_renewal();
        reload();
    });
    m_question = question;
    question->open();
}

void ConnectPhoneWindow::showCentredOn(const QWidget* anchor)
{
    adjustSize();
    const QScreen* screen = anchor ? anchor->screen() : this->screen();
    QRect frame = frameGeometry();
    frame.moveCenter(anchor && anchor->isVisible() ? anchor->frameGeometry().center()
                                                   : (screen ? screen->availableGeometry().center() : QPoint()));
    // A small main window in a corner would put half of this one off the screen.
    if (screen) {
        // The window manager's frame is known only once the window is shown: room for a usual one.
        const QRect available
            = screen->availableGeometry().adjusted(0, 0, -kFrameAllowance.width(), -kFrameAllowance.height());
        frame.moveLeft(
            std::clamp(frame.left(), available.left(), std::max(available.left(), available.right() - frame.width())));
        frame.moveTop(
            std::clamp(frame.top(), available.top(), std::max(available.top(), available.bottom() - frame.height())));
    }
    move(frame.topLeft());
    show();
    raise();
    activateWindow();
}

bool ConnectPhoneWindow::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::WindowActivate:
        // Back from the question, or from another window: the network or the listener may have
        // changed meanwhile.
        if (!m_question)
            reload();
        break;
    case QEvent::ScreenChangeInternal:
        // Drawn for the new screen's pixel ratio, so that its modules stay whole device pixels.
        if (m_shown.isRunning() && !m_codeImage.isNull() && m_codeRatio != devicePixelRatioF())
            showCode(m_shown.primaryUrl());
        break;
    case QEvent::KeyPress:
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            close();
            return true;
        }
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

} // namespace glasswing
