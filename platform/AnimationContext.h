#pragma once

#include <functional>

namespace glasswing {

// The context an animation group's body receives. A group here assigns values directly: its
// changes show at once, and the duration only says how long an animated change would take.
class AnimationContext {
public:
    void setDuration(double seconds) { m_duration = seconds; }
    double duration() const { return m_duration; }

private:
    double m_duration = 0.25;
};

// Runs `changes` at once, on the calling thread, as one animation group with no completion
// handler. Main thread only, like every view change.
void runAnimationGroup(const std::function<void(AnimationContext&)>& changes);

} // namespace glasswing
