// Long native work (decompressing a large segment, decoding or converting
// many points, a walk over many spectra) lets its caller end it, as the
// binding does to answer Ctrl-C, at points where the caller's code may run:
// where the work reads only bytes of its own and seats the reader again
// before it next reads with it.
#pragma once

namespace zarn {

// Called at most every 100 ms on each thread that reaches interruption
// points; it may run the caller's code, and ends the work by throwing. Set
// once by the binding (null: never called).
using InterruptionHook = void (*)();
void set_interruption_hook(InterruptionHook hook);

// One unit of work done (a spectrum, a batch of points, a piece of a
// stream) at a point where the caller's code may run: every few units the
// clock is read, and the hook called once the interval has passed since it
// last ran on this thread.
void interruption_point();

// Whether the running thread's code inside an InterruptibleScope has made
// the streams it makes interruptible (see FrameStream); false while the
// hook runs.
bool interruptible_scope();

// For its lifetime, streams made by the running thread are interruptible:
// for work that owns the bytes it decompresses and runs no caller code but
// the hook.
class InterruptibleScope {
public:
    InterruptibleScope();
    InterruptibleScope(const InterruptibleScope &) = delete;
    InterruptibleScope &operator=(const InterruptibleScope &) = delete;
    ~InterruptibleScope();

private:
    bool before_;
};

}  // namespace zarn
