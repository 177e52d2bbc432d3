#include "module/errors.h"

#include <atomic>
#include <exception>
#include <new>

#include "module/args.h"
#include "textgrid/layout/read.h"

namespace orvex {

namespace {

PyDoc_STRVAR(internal_error__doc__,
             "Raised when the native code of orvex fails.\n"
             "\n"
             "Like SystemExit it derives from BaseException, not Exception, so a plain\n"
             "`except Exception` does not catch it: it typically propagates all the way\n"
             "up and ends the interpreter.");

// Made on first use and kept until the process ends: it may be raised until
// the very end of the interpreter's life.
std::atomic<PyObject*> internal_error{nullptr};

Object decode_message(std::string_view message) noexcept {
    return Object::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

// Raises an instance of type built from message alone.
void raise_with_message(PyObject* type, std::string_view message) noexcept {
    Object text = decode_message(message);
    if (!text) return;
    Object error = Object::steal(PyObject_CallOneArg(type, text.get()));
    if (!error) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

}  // namespace

PyObject* internal_error_type() noexcept {
    if (PyObject* type = internal_error.load(std::memory_order_acquire)) return type;
    Object created = Object::steal(
        PyErr_NewExceptionWithDoc("orvex.InternalError", internal_error__doc__, PyExc_BaseException, nullptr));
    if (!created) return nullptr;
    PyObject* expected = nullptr;
    if (internal_error.compare_exchange_strong(expected, created.get(), std::memory_order_acq_rel))
        return created.release();  // owned by internal_error from now on
    return expected;  // another thread won the race; ours is dropped
}

void raise_internal_error(std::string_view message) noexcept {
    PyObject* type = internal_error_type();
    if (!type) return;
    raise_with_message(type, message);
}

void raise_os_error(std::string_view message) noexcept { raise_with_message(PyExc_OSError, message); }

void raise_read_error(std::string_view file, const textgrid::Error& error) {
    raise_os_error(textgrid::read_failure_message(file, error));
}

void raise_create_error(const textgrid::Error& error) {
    raise_os_error("Failed to create TextGrid because: " + error.text());
}

std::string describe_error(Handle exc) {
    std::string out;
    auto append = [&out](Handle text) {
        Py_ssize_t size = 0;
        const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
        if (utf8 != nullptr) {
            out.append(utf8, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    };
    append(type_name(Py_TYPE(exc.get())));
    Object text = Object::steal(PyObject_Str(exc.get()));
    if (!text) PyErr_Clear();
    if (text && PyUnicode_GetLength(text.get()) > 0) {
        out += ": ";
        append(text);
    }
    return out;
}

Object fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Object::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);  // new references, all three may be null
    PyErr_NormalizeException(&type, &value, &traceback);
    Object owned_type = Object::steal(type);
    Object owned_value = Object::steal(value);
    Object owned_traceback = Object::steal(traceback);
    if (owned_value && owned_traceback) PyException_SetTraceback(owned_value.get(), owned_traceback.get());
    return owned_value;
#endif
}

namespace detail {

bool signals_raised(void*) noexcept { return PyErr_Occurred() != nullptr || PyErr_CheckSignals() < 0; }

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const textgrid::Interrupted&) {
        // The check that stopped the call left its exception pending.
        if (!PyErr_Occurred()) raise_internal_error("the call was interrupted without an exception");
    } catch (const textgrid::FatalReadError& e) {
        raise_internal_error(e.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error("unknown C++ exception");
    }
}

}  // namespace detail

}  // namespace orvex
