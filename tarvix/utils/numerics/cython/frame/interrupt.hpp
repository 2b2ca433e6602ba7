// A section without the interpreter lock that a signal can end: between its
// steps, the work asks stop_requested(), which at most every 50 ms takes
// the lock back and runs the pending signal handlers. Once one of them
// raises (KeyboardInterrupt for Ctrl-C), every later ask answers true and
// the exception stays set for the caller to return, after the section.
#pragma once

#include "errors.hpp"
#include "ref.hpp"
#include "../kernels/stop.hpp"

#include <chrono>
#include <new>

namespace frame {

class InterruptibleSection {
public:
    InterruptibleSection() noexcept : state_(PyEval_SaveThread()), last_check_(Clock::now()) {}
    InterruptibleSection(const InterruptibleSection&) = delete;
    InterruptibleSection& operator=(const InterruptibleSection&) = delete;
    ~InterruptibleSection() { PyEval_RestoreThread(state_); }

    bool stop_requested() noexcept {
        if (interrupted_) return true;
        const Clock::time_point now = Clock::now();
        if (now - last_check_ < interval) return false;
        PyEval_RestoreThread(state_);
        interrupted_ = PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        last_check_ = Clock::now();
        return interrupted_;
    }

    // The check to hand to a kernel.
    kernels::StopCheck check() noexcept { return {&ask, this}; }

    // Whether a signal handler raised: the call then returns nullptr, with
    // that exception, once the section has ended.
    bool interrupted() const noexcept { return interrupted_; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds interval{50};

    static bool ask(void* section) noexcept { return static_cast<InterruptibleSection*>(section)->stop_requested(); }

    PyThreadState* state_;
    Clock::time_point last_check_;
    bool interrupted_ = false;
};

// Runs work(stop) in an InterruptibleSection, `stop` being its check.
// True when the work ran to its end; else false with the exception set:
// the signal handler's, or when the work threw std::bad_alloc,
// MemoryError "no room for <what>" of bytes() bytes (asked after the work,
// which may know by then how much it wanted).
template <class Work, class Bytes>
bool run_interruptible(const char* what, Work&& work, Bytes&& bytes) {
    bool interrupted = false;
    bool no_room = false;
    {
        InterruptibleSection section;
        const kernels::StopCheck stop = section.check();
        try {
            work(stop);
        } catch (const std::bad_alloc&) {
            no_room = true;
        }
        interrupted = section.interrupted();
    }
    if (interrupted) return false;
    if (no_room) {
        raise_no_room(what, bytes());
        return false;
    }
    return true;
}

}  // namespace frame
