#pragma once

#include "mirroring/WebViewerAddress.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace glasswing {

// "Connect a Phone": how a phone opens the web viewer. A QR code of the address phones can most
// likely reach, the same address to copy, the `.local` name for iPhones, the other addresses,
// the warning the phone's browser shows the first time and the start of the certificate's
// fingerprint, and "New Certificate…", which asks first.
//
// It reads what it shows from `source` when made and whenever it comes to the front, so it
// follows a listener that started or a network that changed meanwhile. `renew` makes the
// listener's identity anew; it runs only after the user confirmed, and the window reads its
// source again afterwards. Both are called on the main thread, from this window's event
// handling; neither may delete the window. Main thread.
class ConnectPhoneWindow : public QWidget {
    Q_OBJECT
public:
    using Source = std::function<WebViewerAddress()>;
    using Renewal = std::function<void()>;

    explicit ConnectPhoneWindow(Source source, Renewal renew, QWidget* parent = nullptr);

    // Reads the source again and shows what it gives.
    void reload();
    // Shows the window centred on `anchor` (kept within `anchor`'s screen), or in the middle of
    // the screen without one, and brings it to the front.
    void showCentredOn(const QWidget* anchor);
    // Asks whether to make a new certificate; `renew` runs if the user says so. The question is
    // window-modal and returns at once.
    void askToRenew();

    // What is shown, for the tests and the screenshots.
    const WebViewerAddress& shown() const { return m_shown; }
    QImage codeImage() const { return m_codeImage; }
    QLabel* codeLabel() const { return m_code; }
    QLineEdit* addressField() const { return m_address; }
    QPushButton* copyButton() const { return m_copy; }
    QLineEdit* localNameField() const { return m_localName; }
    QLabel* fingerprintLabel() const { return m_fingerprint; }
    QLabel* noteLabel() const { return m_note; }
    QPushButton* renewButton() const { return m_renew; }
    // The other addresses' fields, in the order shown.
    QList<QLineEdit*> otherAddressFields() const;
    QMessageBox* renewalQuestion() const { return m_question; }

protected:
    bool event(QEvent* event) override;

private:
    void showCode(const QUrl& url);
    void showOtherAddresses();
    QWidget* addressRow(QLineEdit* field, QPushButton* copy);

    Source m_source;
    Renewal m_renewal;
    WebViewerAddress m_shown;
    bool m_loaded = false;
    QImage m_codeImage;
    qreal m_codeRatio = 1;

    QLabel* m_code;
    QLabel* m_lead;
    QWidget* m_addressRow = nullptr;
    QLineEdit* m_address;
    QPushButton* m_copy;
    QWidget* m_localNameRow;
    QLabel* m_localNameLead;
    QLineEdit* m_localName;
    QPushButton* m_copyLocalName;
    QLabel* m_othersLead;
    QVBoxLayout* m_others;
    QLabel* m_note;
    QLabel* m_warning;
    QWidget* m_fingerprintRow;
    QLabel* m_fingerprint;
    QPushButton* m_renew;
    QPointer<QMessageBox> m_question;
};

} // namespace glasswing
