// Releasing the interpreter lock for a section that touches no Python object.
#pragma once

#include "ref.hpp"

namespace frame {

class WithoutGil {
public:
    WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace frame
