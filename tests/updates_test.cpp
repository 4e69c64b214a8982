// The update controller's pieces: how versions compare.
#include "platform/updates/VersionComparison.h"

#include <QTest>

using namespace glasswing;

class UpdatesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void compareVersionsOrdersAsPeopleDo_data();
    void compareVersionsOrdersAsPeopleDo();
};

void UpdatesTest::compareVersionsOrdersAsPeopleDo_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");

    const auto row = [](const char* a, const char* b, int expected) {
        QTest::addRow("%s vs %s", a, b) << QString::fromUtf8(a) << QString::fromUtf8(b) << expected;
    };
    row("1.0", "1.0", 0);
    row("1.10", "1.9", 1);
    row("1.9", "1.10", -1);
    row("2.0", "2.0.0", 0);
    row("2.0.0", "2", 0);
    row("2.0.1", "2.0", 1);
    row("v1.2", "1.2", 0);
    row("V1.3", "1.2", 1);
    row(" 1.2 ", "1.2", 0);
    row("01.002", "1.2", 0);
    row("2.0-beta1", "2.0", -1);
    row("2.0", "2.0-beta1", 1);
    row("2.0b1", "2.0", -1);
    row("2.0.1-beta", "2.0", 1);
    row("2.0-alpha", "2.0-beta", -1);
    row("2.0-beta2", "2.0-beta10", -1);
    row("2.0-rc1", "2.0-beta3", 1);
    row("2.0-BETA1", "2.0-beta1", 0);
    row("2.0-beta", "2.0-beta1", -1);
    row("2.0-beta.1", "2.0-beta1", 0);
    row("2.0-1", "2.0-beta", -1);
    row("1.2+build5", "1.2", 0);
    row("1.2+build5", "1.2-rc1", 1);
    row("10", "9.99.99", 1);
    row("99999999999999999999.1", "99999999999999999999.0", 1);
    row("100000000000000000000", "99999999999999999999", 1);
    row("1", "1.0.0.0.1", -1);
    row("", "0", 0);
    row("0.1.0", "", 1);
}

void UpdatesTest::compareVersionsOrdersAsPeopleDo()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    QCOMPARE(compareVersions(a, b), expected);
    // The order is the same read the other way.
    QCOMPARE(compareVersions(b, a), -expected);
}

QTEST_APPLESS_MAIN(UpdatesTest)
#include "updates_test.moc"
