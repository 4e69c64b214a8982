#pragma once

#include <functional>

class QWidget;

namespace glasswing {

// The named timing curves of animation groups.
enum class TimingFunction { Linear, EaseIn, EaseOut, EaseInEaseOut };

// The context an animation group's body receives: how long the group's animated changes take,
// and along which curve. Values assigned to views directly show at once; changes made through
// `animateAlpha` run over the group's duration.
class AnimationContext {
public:
    void setDuration(double seconds) { m_duration = seconds; }
    double duration() const { return m_duration; }
    void setTimingFunction(TimingFunction function) { m_timing = function; }
    TimingFunction timingFunction() const { return m_timing; }

private:
    double m_duration = 0.25;
    TimingFunction m_timing = TimingFunction::Linear;
};

// Runs `changes` at once, on the calling thread, as one animation group with no completion
// handler. Main thread only, like every view change.
void runAnimationGroup(const std::function<void(AnimationContext&)>& changes);

// A view's alpha, animated from where it stands to `alpha` over the group's duration and curve
// (the view's animation proxy). A later change of the same view's alpha takes over from it.
void animateAlpha(QWidget* view, double alpha, const AnimationContext& context);

} // namespace glasswing
