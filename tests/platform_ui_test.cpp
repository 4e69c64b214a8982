#include "platform/NamedImage.h"
#include "platform/ProgressIndicator.h"
#include "platform/ViewAlpha.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace glasswing;

namespace {

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
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                bounds |= QRect(x, y, 1, 1);
    return bounds;
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
    // A renderer that complains about the artwork draws it wrong: every warning fails.
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("."))); }

    void everyShippedImageIsFoundByItsName();
    void imagesAreFoundByTheirExactNameOnly_data();
    void imagesAreFoundByTheirExactNameOnly();
    void spinnerTicksOnlyWhileItSpinsWhereItCanBeSeen();
};

void PlatformUiTest::everyShippedImageIsFoundByItsName()
{
    int found = 0;
    for (QDirIterator it(QStringLiteral(":/images")); it.hasNext(); ++found) {
        const QString name = it.nextFileInfo().completeBaseName().remove(QStringLiteral("@2x"));
        const std::optional<NamedImage> image = imageNamed(name);
        QVERIFY2(image && !image->size.isEmpty() && image->resourcePath == it.filePath(), qPrintable(name));
    }
    QVERIFY(found > 10);
}

void PlatformUiTest::imagesAreFoundByTheirExactNameOnly_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSizeF>("size"); // empty when nothing is found
    QTest::addColumn<qreal>("ratio"); // rendered at twice its size, at this ratio
    QTest::addColumn<QSize>("pixels");

    // Vector artwork is drawn afresh at the final size, not scaled from its natural one.
    QTest::newRow("vector at 1.5x") << QStringLiteral("Phone Chip") << QSizeF(56, 40) << 1.5 << QSize(168, 120);
    // The test's own bitmap: 8 x 6 pixels drawn at 2x.
    QTest::newRow("bitmap at 3x") << QStringLiteral("Test Pattern") << QSizeF(4, 3) << 3.0 << QSize(24, 18);
    // The last two would reach a real image if a '/' were let through.
    const char* missing[] = {"connected light", "../images/Connected Light", "/Connected Light"};
    for (const char* name : missing)
        QTest::addRow("missing: \"%s\"", name) << QString::fromUtf8(name) << QSizeF() << 1.0 << QSize();
}

void PlatformUiTest::imagesAreFoundByTheirExactNameOnly()
{
    QFETCH(QString, name);
    QFETCH(QSizeF, size);
    QFETCH(qreal, ratio);
    QFETCH(QSize, pixels);
    const std::optional<NamedImage> image = imageNamed(name);
    QCOMPARE(image ? image->size : QSizeF(), size);
    if (image) {
        const QPixmap pixmap = image->pixmap(size * 2, ratio);
        QCOMPARE(pixmap.size(), pixels);
        QCOMPARE(pixmap.deviceIndependentSize(), size * 2);
        QVERIFY(inkBounds(pixmap.toImage()).isValid());
        QVERIFY(image->pixmap(QSizeF(0, 20), ratio).isNull());
    }
}

// Its timer wakes the program a dozen times a second: it runs only while the spinning shows.
void PlatformUiTest::spinnerTicksOnlyWhileItSpinsWhereItCanBeSeen()
{
    ShownSpinner indicator;
    indicator.resize(24, 24);
    QTimer* timer = indicator.findChild<QTimer*>();
    QVERIFY(timer);
    // Each step as the user would see it: a shown window is exposed a moment later.
    const auto step = [&](const char* what, bool ticking, const std::function<void()>& change) {
        change();
        if (indicator.isVisible())
            QVERIFY(QTest::qWaitForWindowExposed(&indicator));
        QCoreApplication::processEvents();
        QVERIFY2(timer->isActive() == ticking, what);
    };
    step("shown, not started", false, [&] { indicator.show(); });
    QVERIFY(!inkBounds(paintedBy(indicator)).isValid());
    step("started", true, [&] { indicator.startAnimation(); });
    const QImage first = paintedBy(indicator);
    QVERIFY(QSignalSpy(timer, &QTimer::timeout).wait(1000));
    QVERIFY(paintedBy(indicator) != first);
    step("hidden", false, [&] { indicator.hide(); });
    step("shown again", true, [&] { indicator.show(); });
    step("faded out to alpha 0", false, [&] { setAlphaValue(&indicator, 0.0); });
    step("faintly visible", true, [&] { setAlphaValue(&indicator, 0.01); });
    step("stopped", false, [&] { indicator.stopAnimation(); });
    QVERIFY(!inkBounds(paintedBy(indicator)).isValid());

    // Where no window reaches a screen, nothing is ever seen.
    ProgressIndicator offscreen;
    offscreen.startAnimation();
    offscreen.show();
    QVERIFY(!offscreen.findChild<QTimer*>()->isActive());
}

QTEST_MAIN(PlatformUiTest)
#include "platform_ui_test.moc"
