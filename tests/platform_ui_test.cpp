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

    void imagesAreFoundByTheirExactNameOnly();
    void spinnerTicksOnlyWhileItSpinsWhereItCanBeSeen();
};

void PlatformUiTest::imagesAreFoundByTheirExactNameOnly()
{
    // Every shipped image by its name, drawn at a screen's density.
    int found = 0;
    for (QDirIterator it(QStringLiteral(":/images")); it.hasNext(); ++found) {
        const QString name = it.nextFileInfo().completeBaseName().remove(QStringLiteral("@2x"));
        const std::optional<NamedImage> image = imageNamed(name);
        QVERIFY2(image && !image->size.isEmpty() && image->resourcePath == it.filePath(), qPrintable(name));
        const QPixmap pixmap = image->pixmap(image->size, 1.5);
        QCOMPARE(pixmap.size(), (image->size * 1.5).toSize());
        QVERIFY2(inkBounds(pixmap.toImage()).isValid(), qPrintable(name));
    }
    QVERIFY(found > 10);
    // Nothing by another case; the last two would reach a real image if a '/' were let through.
    for (const char* name : {"connected light", "../images/Connected Light", "/Connected Light"})
        QVERIFY2(!imageNamed(QString::fromUtf8(name)), name);
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
