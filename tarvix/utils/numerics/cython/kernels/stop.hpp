// How a long computation learns, between its steps, that its caller wants it
// to end (for instance a Ctrl-C): a check it calls at safe points. The check
// is the caller's; a kernel only asks it and, when it answers true, leaves
// its results as they are and returns.
#pragma once

namespace kernels {

class StopCheck {
public:
    using Function = bool (*)(void* context) noexcept;

    // Never asks anyone: the computation runs to its end.
    constexpr StopCheck() noexcept = default;
    constexpr StopCheck(Function function, void* context) noexcept : function_(function), context_(context) {}

    bool operator()() const noexcept { return function_ != nullptr && function_(context_); }

private:
    Function function_ = nullptr;
    void* context_ = nullptr;
};

}  // namespace kernels
