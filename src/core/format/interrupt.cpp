#include "format/interrupt.hpp"

#include <atomic>
#include <chrono>

namespace zarn {
namespace {

using Clock = std::chrono::steady_clock;

// The clock is read every kUnits units, the hook called every kInterval.
constexpr unsigned kUnits = 16;
constexpr Clock::duration kInterval = std::chrono::milliseconds(100);

std::atomic<InterruptionHook> hook{nullptr};

struct ThreadState {
    unsigned units = 0;
    bool scope = false;
    Clock::time_point last{};
};

ThreadState &state() {
    thread_local ThreadState s;
    return s;
}

}  // namespace

void set_interruption_hook(InterruptionHook h) { hook.store(h, std::memory_order_release); }

void interruption_point() {
    ThreadState &s = state();
    if (++s.units < kUnits) return;
    s.units = 0;
    const Clock::time_point now = Clock::now();
    if (now - s.last < kInterval) return;
    s.last = now;
    const InterruptionHook h = hook.load(std::memory_order_acquire);
    if (!h) return;
    // The caller's code that the hook runs makes streams of its own.
    struct Restore {
        ThreadState &s;
        bool scope;
        ~Restore() { s.scope = scope; }
    } restore{s, s.scope};
    s.scope = false;
    h();
}

bool interruptible_scope() { return state().scope; }

InterruptibleScope::InterruptibleScope() : before_(state().scope) { state().scope = true; }
InterruptibleScope::~InterruptibleScope() { state().scope = before_; }

}  // namespace zarn
