#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

class QWindow;

namespace glasswing {

// An indeterminate spinner: twelve short rounded spokes, light on dark, the brightest one moving
// round the circle twelve steps a second. Draws nothing while stopped.
//
// Its one timer runs only while it is animating and can be seen: shown, in a window that is
// exposed (not minimised or unmapped), and not faded out to alpha 0 (`setAlphaValue`). A spinner
// nobody sees costs no wake-ups and no repaints; on the offscreen platform, which stands in where
// there is no display, nobody sees any.
class ProgressIndicator : public QWidget {
    Q_OBJECT

public:
    explicit ProgressIndicator(QWidget* parent = nullptr);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return m_animating; }

    QSize sizeHint() const override { return {24, 24}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Whether this platform's windows reach a screen at all.
    virtual bool platformShowsWindows() const;
    // Starts or stops the timer as the spinner's visibility says.
    void updateTimer();

private:
    void advance();
    bool canBeSeen() const;

    QTimer m_timer;
    bool m_animating = false;
    int m_step = 0;
    // The window whose exposure is watched (its native window, once it exists).
    QPointer<QWindow> m_watchedWindow;
};

} // namespace glasswing
