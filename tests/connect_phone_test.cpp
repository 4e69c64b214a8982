// "Connect a Phone" on real widgets (offscreen): which address comes first, the QR code (read
// back by a real decoder), copying, renewing only after the user says so, and what it says
// without a listener or a network.

#include "mirroring/ConnectPhoneWindow.h"
#include "mirroring/PhoneAddresses.h"
#include "mirroring/QrCode.h"
#include "support/TestEnvironment.h"
#include "support/WelcomeWindows.h"

#include <QApplication>
#include <QClipboard>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace glasswing;

namespace {

using Flags = QNetworkInterface::InterfaceFlags;
const Flags kUp = Flags(QNetworkInterface::IsUp) | QNetworkInterface::IsRunning;

AddressCandidate candidate(const char* interface, const char* address, Flags flags = kUp,
                           QNetworkInterface::InterfaceType type = QNetworkInterface::Ethernet)
{
    return {QString::fromLatin1(interface), type, flags, QHostAddress(QString::fromLatin1(address))};
}

QList<QHostAddress> addresses(std::initializer_list<const char*> texts)
{
    QList<QHostAddress> list;
    for (const char* text : texts)
        list << QHostAddress(QString::fromLatin1(text));
    return list;
}

QByteArray digest(const char* seed)
{
    return QCryptographicHash::hash(seed, QCryptographicHash::Sha256);
}

WebViewerAddress sample(quint16 port = 8443, QList<QHostAddress> list = addresses({"192.168.1.20", "10.0.0.7"}))
{
    return {QStringLiteral("studio"), port, list, digest("one")};
}

// A window showing `address`, shown.
std::unique_ptr<ConnectPhoneWindow> shownWindow(const WebViewerAddress& address, ConnectPhoneWindow::Renewal renew = {})
{
    auto window = std::make_unique<ConnectPhoneWindow>([address] { return address; }, std::move(renew));
    window->show();
    return QTest::qWaitForWindowExposed(window.get()) ? std::move(window) : nullptr;
}

} // namespace

class ConnectPhoneTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_home = std::make_unique<test::IsolatedHome>(); }
    void cleanup()
    {
        test::closeAllWindows();
        m_home.reset();
    }

    void addressesForPhonesComeInTheOrderPhonesReachThem_data();
    void addressesForPhonesComeInTheOrderPhonesReachThem();
    void pageAddressesAndFingerprint_data();
    void pageAddressesAndFingerprint();
    void theCodeIsCrisp_data() { codes(); }
    void theCodeIsCrisp();
    void theCodeReadsBackAsTheAddress_data() { codes(); }
    void theCodeReadsBackAsTheAddress();
    void theWindowSaysWhatThereIs_data();
    void theWindowSaysWhatThereIs();
    void newCertificateRenewsOnlyWhenConfirmed();

private:
    static void codes();
    std::unique_ptr<test::IsolatedHome> m_home;
};

void ConnectPhoneTest::addressesForPhonesComeInTheOrderPhonesReachThem_data()
{
    QTest::addColumn<QList<AddressCandidate>>("candidates");
    QTest::addColumn<QList<QHostAddress>>("expected");
    const auto wifi = QNetworkInterface::Wifi;
    QTest::newRow("tun, docker, virtual after ethernet and wifi")
        << QList{candidate("tun0", "10.8.0.2", kUp | QNetworkInterface::IsPointToPoint),
                 candidate("docker0", "172.17.0.1"),
                 candidate("mystery0", "192.168.50.2", kUp, QNetworkInterface::Virtual),
                 candidate("enp3s0", "10.0.0.5"), candidate("wlan0", "2001:db8::42", kUp, wifi)}
        << addresses({"10.0.0.5", "2001:db8::42", "192.168.50.2", "10.8.0.2", "172.17.0.1"});
    QTest::newRow("192.168 before 10 before 172.16-31 before public, IPv4 before IPv6")
        << QList{candidate("eth0", "fd12:3456::9"), candidate("eth0", "172.32.0.1"), candidate("eth1", "172.31.255.1"),
                 candidate("eth0", "10.1.2.3"), candidate("wlan0", "192.168.0.9")}
        << addresses({"192.168.0.9", "10.1.2.3", "172.31.255.1", "172.32.0.1", "fd12:3456::9"});
    QTest::newRow("down, without a link and link-local IPv6 left out; IPv4 link-local last")
        << QList{candidate("eth0", "192.168.1.2", Flags(QNetworkInterface::IsUp)),
                 candidate("eth1", "192.168.1.3", Flags()), candidate("eth0", "fe80::1ff:fe23:4567:890a"),
                 candidate("eth0", "169.254.10.20"), candidate("eth0", "203.0.113.4")}
        << addresses({"203.0.113.4", "169.254.10.20"});
}

void ConnectPhoneTest::addressesForPhonesComeInTheOrderPhonesReachThem()
{
    QFETCH(QList<AddressCandidate>, candidates);
    QFETCH(QList<QHostAddress>, expected);
    QCOMPARE(addressesForPhones(candidates), expected);
}

void ConnectPhoneTest::pageAddressesAndFingerprint_data()
{
    QTest::addColumn<WebViewerAddress>("address");
    QTest::addColumn<QStringList>("expected"); // the address, its .local form, the fingerprint shown

    const QByteArray bytes = QByteArray::fromHex("0a1b2c3d4e5f60718293a4b5c6d7e8f9");
    const auto row = [&](const char* name, const char* host, quint16 port, QList<QHostAddress> list,
                         const QByteArray& digest, std::initializer_list<const char*> expected) {
        QStringList texts;
        for (const char* text : expected)
            texts << QString::fromLatin1(text);
        QTest::newRow(name) << WebViewerAddress{QString::fromLatin1(host), port, list, digest} << texts;
    };
    const char* full = "0A:1B:2C:3D:4E:5F:60:71";
    QHostAddress scoped(QStringLiteral("2001:db8::5"));
    scoped.setScopeId(QStringLiteral("eth0"));
    row("IPv6 in brackets, without its zone", "studio.example.com", 50123, {scoped}, bytes.left(3),
        {"https://[2001:db8::5]:50123/", "https://studio.local:50123/", "0A:1B:2C"});
    row("no address: localhost; no digest: no fingerprint", "Studio-Mac-2", 1, {}, {},
        {"https://localhost:1/", "https://studio-mac-2.local:1/", ""});
    // A host name no phone resolves gives no .local form.
    row("a bad host name", "bad name/../x", 8443, addresses({"10.0.0.2"}), bytes, {"https://10.0.0.2:8443/", "", full});
}

void ConnectPhoneTest::pageAddressesAndFingerprint()
{
    QFETCH(WebViewerAddress, address);
    QFETCH(QStringList, expected);
    QCOMPARE(
        (QStringList{address.primaryUrl().toString(), address.localNameUrl().toString(), address.fingerprintPrefix()}),
        expected);
}

void ConnectPhoneTest::codes()
{
    // CTest runs these again on screens scaled by 1.5 and 2 (QT_SCALE_FACTOR).
    QTest::addColumn<WebViewerAddress>("address");
    QTest::newRow("the longest IPv6 address and port")
        << sample(65535, addresses({"2001:db8:1234:5678:9abc:def0:1234:5678"}));
    QTest::newRow("no network: localhost") << sample(8443, {});
}

void ConnectPhoneTest::theCodeIsCrisp()
{
    QFETCH(WebViewerAddress, address);
    const auto window = shownWindow(address);
    QVERIFY(window);
    // Whole device pixels per module, a quiet zone of four white modules, black on white only.
    const QImage image = window->codeImage();
    const std::optional<QrCode> code = QrCode::encode(address.primaryUrl().toString().toUtf8());
    QVERIFY(code && !image.isNull());
    const int side = code->sizeWithQuietZone();
    QCOMPARE(image.width() % side, 0);
    QCOMPARE(image.height(), image.width());
    const int module = image.width() / side;
    QVERIFY(module >= 2);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int mx = x / module - QrCode::kQuietZone;
            const int my = y / module - QrCode::kQuietZone;
            const bool dark = mx >= 0 && my >= 0 && mx < code->size() && my < code->size() && code->isDark(mx, my);
            if (image.pixel(x, y) != (dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255)))
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3").arg(x).arg(y).arg(image.pixel(x, y), 0, 16)));
        }
    }
}

// A real decoder reads the address from the window as drawn, its dark surround included.
void ConnectPhoneTest::theCodeReadsBackAsTheAddress()
{
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    GLASSWING_MACHINE_CASE(!zbarimg.isEmpty(), QStringLiteral("zbarimg is missing (install zbar-tools)"));
    QFETCH(WebViewerAddress, address);
    const auto window = shownWindow(address);
    QVERIFY(window);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("code.png"));
    QVERIFY(window->grab().save(path));
    QProcess zbar;
    zbar.start(zbarimg, {QStringLiteral("--quiet"), QStringLiteral("--raw"), path});
    QVERIFY(zbar.waitForFinished(30000));
    const QString read = QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
    QCOMPARE(read, address.primaryUrl().toString());
    QCOMPARE(window->addressField()->text(), read);
}

void ConnectPhoneTest::theWindowSaysWhatThereIs_data()
{
    QTest::addColumn<WebViewerAddress>("address");
    QTest::addColumn<QString>("shown"); // the address to copy
    QTest::addColumn<QString>("note"); // within the note; empty when there is none
    QTest::addColumn<QStringList>("others"); // the other addresses shown, and the line after them

    QList<QHostAddress> many;
    QStringList manyShown;
    for (int i = 1; i <= 60; ++i) {
        many << QHostAddress(QStringLiteral("172.17.%1.1").arg(i));
        manyShown << QStringLiteral("https://172.17.%1.1:8443/").arg(i);
    }
    QTest::newRow("no listener: no code, no address")
        << sample(0) << QString() << QStringLiteral("The phone viewer is not running") << QStringList();
    QTest::newRow("no network: localhost, and why") << sample(8443, {}) << QStringLiteral("https://localhost:8443/")
                                                    << QStringLiteral("no network") << QStringList();
    // Many addresses (a machine full of containers): four others, and a line for the rest.
    QTest::newRow("sixty addresses") << sample(8443, many) << manyShown[0] << QString()
                                     << manyShown.mid(1, 4)
            + QStringList{QStringLiteral("and 55 more, less likely to reach a phone")};
}

// The same window through each, as the listener starts and a network comes. Each address's
// button copies it: the address, its .local form, and the other addresses.
void ConnectPhoneTest::theWindowSaysWhatThereIs()
{
    QFETCH(WebViewerAddress, address);
    QFETCH(QString, shown);
    QFETCH(QString, note);
    QFETCH(QStringList, others);
    WebViewerAddress current = sample(0);
    ConnectPhoneWindow window([&current] { return current; }, [] {});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    current = address;
    window.reload();
    QCOMPARE(window.addressField()->text(), shown);
    QCOMPARE(window.codeImage().isNull(), shown.isEmpty());
    QCOMPARE(window.noteLabel()->isVisible(), !note.isEmpty());
    QVERIFY2(window.noteLabel()->text().contains(note), qPrintable(window.noteLabel()->text()));
    QList<QLineEdit*> fields = window.otherAddressFields();
    if (!shown.isEmpty())
        fields << window.addressField() << window.localNameField();
    for (const QLineEdit* field : fields) {
        QApplication::clipboard()->setText(QStringLiteral("before"));
        QTest::mouseClick(field->parentWidget()->findChild<QPushButton*>(), Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), field->text());
    }
    QStringList seen;
    for (const QLineEdit* field : window.otherAddressFields())
        seen << field->text();
    if (seen.size() == 4)
        for (const QLabel* label : window.findChildren<QLabel*>())
            if (label->text().startsWith(QStringLiteral("and ")))
                seen << label->text();
    QCOMPARE(seen, others);
}

// Dismissed with Escape it renews nothing; confirmed, it renews once and shows the new fingerprint.
void ConnectPhoneTest::newCertificateRenewsOnlyWhenConfirmed()
{
    WebViewerAddress current = sample();
    int renewed = 0;
    ConnectPhoneWindow window([&current] { return current; },
                              [&] {
                                  ++renewed;
                                  current.certificateSha256 = digest("two");
                              });
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (const int confirmed : {0, 1}) {
        // Asked with open(), not a nested loop: the click has returned; asked again, still one question.
        QTest::mouseClick(window.renewButton(), Qt::LeftButton);
        window.askToRenew();
        QMessageBox* question = window.renewalQuestion();
        QVERIFY(question && question->isVisible());
        QCOMPARE(renewed, 0);
        if (!confirmed) {
            QCOMPARE(window.findChildren<QMessageBox*>().size(), 1);
            QTest::keyClick(question, Qt::Key_Escape);
        }
        for (QAbstractButton* button : question->buttons())
            if (confirmed && button->text() == QStringLiteral("New Certificate"))
                QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(renewed, confirmed);
        const QString expected
            = (confirmed ? WebViewerAddress{{}, 1, {}, digest("two")} : sample()).fingerprintPrefix();
        QVERIFY2(window.fingerprintLabel()->text().contains(expected), qPrintable(window.fingerprintLabel()->text()));
        QTRY_VERIFY(!window.renewalQuestion()); // answered, it lets itself go
    }
}

QTEST_MAIN(ConnectPhoneTest)
#include "connect_phone_test.moc"
