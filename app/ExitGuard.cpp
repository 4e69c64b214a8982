#include "app/ExitGuard.h"

#include <atomic>
#include <cstdlib>
#include <utility>

namespace glasswing {

namespace {

std::atomic<ExitGuard*> g_armed{nullptr};

} // namespace

ExitGuard::ExitGuard(std::function<void()> work)
    : m_work(std::move(work))
{
    // Registered once per process, with the first guard, late in main(): handlers run in the
    // reverse order of registration, so this one runs before what was set up earlier is torn down.
    static const bool registered = std::atexit(&ExitGuard::runAtExit) == 0;
    (void)registered;
    g_armed.store(this);
}

ExitGuard::~ExitGuard()
{
    ExitGuard* self = this;
    g_armed.compare_exchange_strong(self, nullptr);
}

void ExitGuard::runAtExit()
{
    if (ExitGuard* guard = g_armed.exchange(nullptr))
        guard->m_work();
}

} // namespace glasswing
