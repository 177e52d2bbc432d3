// How failures become Python exceptions: the internal-failure exception,
// the mapping of core errors to Python exceptions, and the guard that keeps
// C++ exceptions out of the interpreter.
//
// Everything here needs the interpreter lock.
#pragma once

#include <string>
#include <string_view>

#include "module/py_object.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/base/result.h"

namespace orvex {

// The exception raised when the module's native code fails: a subclass of
// BaseException, created on first use and kept for the whole process. It is
// deliberately not an attribute of the module. Returns a borrowed reference,
// or null with the Python error set when it cannot be created.
PyObject* internal_error_type() noexcept;

// The raise_* functions always leave a Python exception set (the intended
// one, or MemoryError and the like when even that cannot be built) and
// return nothing, so a caller can follow them with `return nullptr`.
// Message bytes that are not UTF-8 are shown as U+FFFD rather than turning
// the error into a UnicodeDecodeError.

// The internal-failure exception with message as its only argument.
void raise_internal_error(std::string_view message) noexcept;

// OSError(message), message being its only argument: str() is the message,
// errno, strerror and filename are None.
void raise_os_error(std::string_view message) noexcept;

// OSError "Failed to read TextGrid file {file} because: {error text}", with
// file exactly as the caller passed it. May throw std::bad_alloc.
void raise_read_error(std::string_view file, const textgrid::Error& error);

// OSError "Failed to create TextGrid because: {error text}". May throw
// std::bad_alloc.
void raise_create_error(const textgrid::Error& error);

// "{type name}" or "{type name}: {str(exc)}", as an error text for a
// message of ours; a part that cannot be had is left out (its error is
// cleared). May throw std::bad_alloc.
std::string describe_error(Handle exc);

// Takes the pending Python exception out of the interpreter's error state
// (new reference, normalised; empty when none is pending).
Object fetch_error() noexcept;

namespace detail {
// Turns the C++ exception being handled into a Python exception. Must be
// called from inside a catch block.
void raise_current_exception() noexcept;

// The interrupt check of every call (textgrid::InterruptScope): runs the
// interpreter's signal handlers, so that Ctrl-C stops a long call in the
// core library. True when a handler raised, or an error is pending already:
// the call fails with that exception either way.
bool signals_raised(void* context) noexcept;
}  // namespace detail

// Runs impl(), which returns a new reference or null with a Python error
// set, and catches whatever it throws: FatalReadError becomes the
// internal-failure exception with its message, std::bad_alloc MemoryError,
// Interrupted leaves the exception the signal handler raised, any other
// exception becomes the internal-failure exception with its what() text.
// While impl runs, the core library polls the interpreter's signal
// handlers (detail::signals_raised). Every Python entry point of the module
// goes through here.
template <class Impl>
PyObject* guard(Impl&& impl) noexcept {
    textgrid::InterruptScope interrupts(&detail::signals_raised, nullptr);
    try {
        return impl();
    } catch (...) {
        detail::raise_current_exception();
        return nullptr;
    }
}

}  // namespace orvex
