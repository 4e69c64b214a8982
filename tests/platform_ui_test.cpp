#include "platform/ImageView.h"
#include "platform/NamedImage.h"
#include "platform/ProgressIndicator.h"
#include "platform/ViewAlpha.h"

#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <unistd.h>

using namespace glasswing;

namespace {

QStringList g_messages;

void keepMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_messages.append(message);
}

// Everything `call` reports: Qt messages, and whatever reaches standard output or error.
QByteArray heardDuring(const std::function<void()>& call)
{
    QTemporaryFile sink;
    if (!sink.open())
        return "<no capture file>";
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(STDOUT_FILENO);
    const int savedErr = ::dup(STDERR_FILENO);
    ::dup2(sink.handle(), STDOUT_FILENO);
    ::dup2(sink.handle(), STDERR_FILENO);
    g_messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepMessage);

    call();

    qInstallMessageHandler(previous);
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedOut);
    ::close(savedErr);
    QFile written(sink.fileName());
    written.open(QIODevice::ReadOnly);
    return g_messages.join(QLatin1Char('\n')).toUtf8() + written.readAll();
}

// What a widget itself paints, over transparency: no window background, no children.
QImage paintedBy(QWidget& widget)
{
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

// The smallest rectangle holding every pixel that is not fully transparent.
QRect inkBounds(const QImage& image)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) != 0)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

QTimer* timerOf(ProgressIndicator& indicator)
{
    return indicator.findChild<QTimer*>();
}

// A spinner that takes the offscreen platform for a screen, so that what else hides it can be seen.
class ShownSpinner : public ProgressIndicator {
protected:
    bool platformShowsWindows() const override { return true; }
};

} // namespace

class PlatformUiTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void imagesAreFoundWithTheirNaturalSize_data();
    void imagesAreFoundWithTheirNaturalSize();
    void otherNamesFindNothingAndSayNothing_data();
    void otherNamesFindNothingAndSayNothing();
    void pixmapsAreRenderedAtTheRatioAsked_data();
    void pixmapsAreRenderedAtTheRatioAsked();

    void imageViewTakesItsImageByName_data();
    void imageViewTakesItsImageByName();
    void imageViewFitsItsImageCentredWithItsAspect_data();
    void imageViewFitsItsImageCentredWithItsAspect();

    void spinnerAnimatesOnlyBetweenStartAndStop();
    void spinnerTicksOnlyWhileItCanBeSeen();
};

void PlatformUiTest::imagesAreFoundWithTheirNaturalSize_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("resourcePath");
    QTest::addColumn<QSizeF>("size");

    const auto vector = [](const char* name, QSizeF size) {
        const QString text = QString::fromUtf8(name);
        QTest::newRow(name) << text << QStringLiteral(":/images/") + text + QStringLiteral(".svg") << size;
    };
    vector("Window Background", {320, 96});
    vector("Disconnected Light", {20, 20});
    vector("Connected Light", {20, 20});
    vector("DisconnectedLabel", {160, 24});
    vector("ConnectedLabel", {160, 24});
    vector("Phone Chip", {56, 40});
    vector("Welcome Background", {600, 400});
    vector("Welcome Contents", {600, 300});
    vector("Get Sketch Button", {216, 48});
    vector("Get Sketch Button (Selected)", {216, 48});
    vector("Get Sketch Button (Hover)", {216, 48});
    vector("Install Plugin Button", {216, 48});
    vector("Install Plugin Button (Selected)", {216, 48});
    vector("Install Plugin Button (Hover)", {216, 48});
    vector("Install Plugin Button (Marker)", {216, 48});
    vector("Open App Store Button", {216, 48});
    vector("Open App Store Button (Hover)", {216, 48});
    vector("Open App Store Button (Selected)", {216, 48});
    vector("Glasswing", {128, 128});
    // The test's own bitmap: 8 x 6 pixels drawn at 2x.
    QTest::newRow("bitmap") << QStringLiteral("Test Pattern") << QStringLiteral(":/images/Test Pattern@2x.png")
                            << QSizeF(4, 3);
}

void PlatformUiTest::imagesAreFoundWithTheirNaturalSize()
{
    QFETCH(QString, name);
    QFETCH(QString, resourcePath);
    QFETCH(QSizeF, size);

    std::optional<NamedImage> image;
    // Quiet too: a renderer that complains about the artwork draws it wrong.
    QCOMPARE(heardDuring([&] { image = imageNamed(name); }), QByteArray());
    QVERIFY(image);
    QCOMPARE(image->name, name);
    QCOMPARE(image->resourcePath, resourcePath);
    QCOMPARE(image->size, size);
}

void PlatformUiTest::otherNamesFindNothingAndSayNothing_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("unknown") << QStringLiteral("Disconnect Button");
    QTest::newRow("lower case") << QStringLiteral("connected light");
    QTest::newRow("upper case") << QStringLiteral("CONNECTED LIGHT");
    QTest::newRow("trailing space") << QStringLiteral("Connected Light ");
    QTest::newRow("with its file suffix") << QStringLiteral("Connected Light.svg");
    QTest::newRow("bitmap with its file suffix") << QStringLiteral("Test Pattern@2x.png");
    QTest::newRow("empty") << QString();
    QTest::newRow("parent folder") << QStringLiteral("../x");
    // Each of these would reach a real image if a '/' were let through.
    QTest::newRow("back into the folder") << QStringLiteral("../images/Connected Light");
    QTest::newRow("leading slash") << QStringLiteral("/Connected Light");
    QTest::newRow("current folder") << QStringLiteral("./Connected Light");
}

void PlatformUiTest::otherNamesFindNothingAndSayNothing()
{
    QFETCH(QString, name);

    std::optional<NamedImage> image;
    const QByteArray heard = heardDuring([&] { image = imageNamed(name); });
    QVERIFY2(!image, qPrintable(image ? image->resourcePath : QString()));
    QCOMPARE(heard, QByteArray());
}

void PlatformUiTest::pixmapsAreRenderedAtTheRatioAsked_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSizeF>("pointSize");
    QTest::addColumn<qreal>("ratio");
    QTest::addColumn<QSize>("pixels");

    QTest::newRow("light at 2x") << QStringLiteral("Connected Light") << QSizeF(20, 20) << 2.0 << QSize(40, 40);
    QTest::newRow("background at 2x") << QStringLiteral("Window Background") << QSizeF(320, 96) << 2.0
                                      << QSize(640, 192);
    QTest::newRow("label at 1.5x") << QStringLiteral("DisconnectedLabel") << QSizeF(160, 24) << 1.5 << QSize(240, 36);
    QTest::newRow("chip enlarged at 1x") << QStringLiteral("Phone Chip") << QSizeF(112, 80) << 1.0 << QSize(112, 80);
    QTest::newRow("bitmap at 2x") << QStringLiteral("Test Pattern") << QSizeF(4, 3) << 2.0 << QSize(8, 6);
    QTest::newRow("bitmap at 3x") << QStringLiteral("Test Pattern") << QSizeF(4, 3) << 3.0 << QSize(12, 9);
}

void PlatformUiTest::pixmapsAreRenderedAtTheRatioAsked()
{
    QFETCH(QString, name);
    QFETCH(QSizeF, pointSize);
    QFETCH(qreal, ratio);
    QFETCH(QSize, pixels);

    const std::optional<NamedImage> image = imageNamed(name);
    QVERIFY(image);
    QPixmap pixmap;
    QCOMPARE(heardDuring([&] { pixmap = image->pixmap(pointSize, ratio); }), QByteArray());
    QCOMPARE(pixmap.size(), pixels);
    QCOMPARE(pixmap.devicePixelRatio(), ratio);
    QCOMPARE(pixmap.deviceIndependentSize(), pointSize);
    QVERIFY(inkBounds(pixmap.toImage()).isValid());
    QVERIFY(image->pixmap(QSizeF(0, 20), ratio).isNull());
}

void PlatformUiTest::imageViewTakesItsImageByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("found");

    QTest::newRow("an image") << QStringLiteral("Phone Chip") << true;
    QTest::newRow("another image") << QStringLiteral("ConnectedLabel") << true;
    QTest::newRow("a missing name") << QStringLiteral("phone chip") << false;
    QTest::newRow("no name") << QString() << false;
}

void PlatformUiTest::imageViewTakesItsImageByName()
{
    QFETCH(QString, name);
    QFETCH(bool, found);

    ImageView view;
    view.setImage(imageNamed(QStringLiteral("Connected Light")));
    // As a form sets it.
    QVERIFY(view.setProperty("imageName", name));
    QCOMPARE(bool(view.image()), found);
    if (found)
        QCOMPARE(view.image()->name, name);
    QCOMPARE(view.property("imageName").toString(), found ? name : QString());
}

void PlatformUiTest::imageViewFitsItsImageCentredWithItsAspect_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("viewSize");
    QTest::addColumn<QRect>("ink");

    // The test pattern is an opaque 4 x 3 block, so its ink is exactly where it was drawn.
    QTest::newRow("natural size") << QStringLiteral("Test Pattern") << QSize(4, 3) << QRect(0, 0, 4, 3);
    QTest::newRow("wide view") << QStringLiteral("Test Pattern") << QSize(40, 12) << QRect(12, 0, 16, 12);
    QTest::newRow("tall view") << QStringLiteral("Test Pattern") << QSize(8, 30) << QRect(0, 12, 8, 6);
    QTest::newRow("no image") << QString() << QSize(40, 40) << QRect();
}

void PlatformUiTest::imageViewFitsItsImageCentredWithItsAspect()
{
    QFETCH(QString, name);
    QFETCH(QSize, viewSize);
    QFETCH(QRect, ink);

    ImageView view;
    view.setImageName(name);
    view.resize(viewSize);
    QCOMPARE(inkBounds(paintedBy(view)), ink);
}

void PlatformUiTest::spinnerAnimatesOnlyBetweenStartAndStop()
{
    ShownSpinner indicator;
    indicator.resize(24, 24);
    indicator.show();
    QVERIFY(!indicator.isAnimating());
    QVERIFY(!inkBounds(paintedBy(indicator)).isValid());

    indicator.startAnimation();
    QVERIFY(indicator.isAnimating());
    const QImage first = paintedBy(indicator);
    QVERIFY(inkBounds(first).isValid());
    QSignalSpy ticks(timerOf(indicator), &QTimer::timeout);
    QVERIFY(ticks.wait(1000));
    QVERIFY(paintedBy(indicator) != first);

    indicator.stopAnimation();
    QVERIFY(!indicator.isAnimating());
    QVERIFY(!timerOf(indicator)->isActive());
    QVERIFY(!inkBounds(paintedBy(indicator)).isValid());
}

// The timer wakes the program a dozen times a second: it runs only while the spinning shows.
void PlatformUiTest::spinnerTicksOnlyWhileItCanBeSeen()
{
    ShownSpinner indicator;
    QTimer* timer = timerOf(indicator);
    QVERIFY(timer);
    // Each step as the user would see it: a shown window is exposed a moment later.
    const auto ticking = [&](bool expected) {
        if (indicator.isVisible() && !QTest::qWaitForWindowExposed(&indicator))
            return false;
        QCoreApplication::processEvents();
        return timer->isActive() == expected;
    };

    indicator.startAnimation();
    QVERIFY2(ticking(false), "started before it is ever shown");
    indicator.show();
    QVERIFY2(ticking(true), "shown");
    indicator.hide();
    QVERIFY2(ticking(false), "hidden");
    QVERIFY(indicator.isAnimating());
    indicator.show();
    QVERIFY2(ticking(true), "shown again");
    setAlphaValue(&indicator, 0.0);
    QVERIFY2(ticking(false), "faded out to alpha 0");
    setAlphaValue(&indicator, 0.01);
    QVERIFY2(ticking(true), "faintly visible");
    setAlphaValue(&indicator, 0.0);
    indicator.hide();
    indicator.show();
    QVERIFY2(ticking(false), "shown again at alpha 0");
    setAlphaValue(&indicator, 1.0);
    QVERIFY2(ticking(true), "back to alpha 1");

    indicator.stopAnimation();
    indicator.hide();
    indicator.show();
    QVERIFY2(ticking(false), "stopped, then shown");

    // Where no window reaches a screen, nothing is ever seen.
    ProgressIndicator offscreen;
    offscreen.startAnimation();
    offscreen.show();
    QVERIFY(!timerOf(offscreen)->isActive());
}

QTEST_MAIN(PlatformUiTest)

#include "platform_ui_test.moc"
