// Errors as values for the core library.
//
// Every core operation that can fail returns a Result<T>: either the value or
// an Error with a kind and a message made of fixed English phrases. The one
// deliberate exception is FatalReadError, thrown by the readers for failures
// that must end a whole operation (a batch included); it is caught at the
// Python boundary.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace textgrid {

enum class ErrorKind {
    os,             // the operating system refused; os_errno holds the number
    invalid_data,   // validation failures and text that is not UTF-8
    invalid_input,  // arguments that do not fit together (unequal columns)
};

struct Error {
    ErrorKind kind = ErrorKind::invalid_data;
    int os_errno = 0;
    std::string message;

    static Error from_errno(int err);
    static Error invalid_data(std::string msg) { return {ErrorKind::invalid_data, 0, std::move(msg)}; }
    static Error invalid_input(std::string msg) { return {ErrorKind::invalid_input, 0, std::move(msg)}; }

    // The text shown to users: for an OS error the system's message followed
    // by " (os error N)", otherwise the message alone.
    std::string text() const;
};

// A value or an Error. Access to the wrong alternative is a programming
// error and throws std::bad_variant_access.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    Error& error() & { return std::get<1>(v_); }
    const Error& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;

// A read failure that ends the whole operation that asked for the read:
// an unknown layout name, an unknown tier class, an item before any tier,
// a short-layout file that ends too early.
// The message is kept whole: what() stops at the first NUL byte, and a
// layout name given by the caller may hold one.
class FatalReadError : public std::runtime_error {
public:
    explicit FatalReadError(std::string message) : std::runtime_error(message), message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

}  // namespace textgrid
