#pragma once

#include <functional>

namespace glasswing {

// Runs `work` if the process ends through exit() while the guard lives: the way out that skips
// the event loop's orderly end. Qt's xcb platform takes it when the X server goes away (a logout,
// a crash of the server), and so does any library that gives up with exit().
//
// At most one guard at a time, made and destroyed on the main thread; destroying it disarms it,
// so an ordinary return from main() runs nothing here. `work` runs at most once, on the thread
// that called exit(), before the static objects made earlier are destroyed; it must be safe to
// run again after, or instead of, the orderly end (AppDelegate::applicationWillTerminate is).
class ExitGuard {
public:
    explicit ExitGuard(std::function<void()> work);
    ~ExitGuard();
    ExitGuard(const ExitGuard&) = delete;
    ExitGuard& operator=(const ExitGuard&) = delete;

private:
    static void runAtExit();

    std::function<void()> m_work;
};

} // namespace glasswing
