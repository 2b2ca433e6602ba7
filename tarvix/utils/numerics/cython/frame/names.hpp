// Interned Python strings for names the modules use again and again.
#pragma once

#include "ref.hpp"

namespace frame {

// A name made into an interned str on first use and kept for the life of
// the process (the modules are never unloaded).
class Name {
public:
    constexpr Name(const char* text) noexcept : text_(text) {}
    const char* text() const noexcept { return text_; }
    // Borrowed; nullptr with MemoryError set if it could not be made.
    PyObject* object() const noexcept {
        if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
        return object_;
    }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

}  // namespace frame
