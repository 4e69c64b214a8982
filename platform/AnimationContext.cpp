#include "platform/AnimationContext.h"

namespace glasswing {

void runAnimationGroup(const std::function<void(AnimationContext&)>& changes)
{
    AnimationContext context;
    changes(context);
}

} // namespace glasswing
