#pragma once

#include <QTimer>
#include <QWidget>

namespace glasswing {

// An indeterminate spinner: twelve short rounded spokes, light on dark, the brightest one moving
// round the circle twelve steps a second. Draws nothing while stopped.
//
// Its one timer runs only while it is animating and shown, so a hidden spinner costs no wake-ups.
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

private:
    void advance();

    QTimer m_timer;
    bool m_animating = false;
    int m_step = 0;
};

} // namespace glasswing
