// Module initialisation, process-wide state and the mapping of failures to
// Python exceptions.

#include "module/module.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "module/args.h"
#include "module/arrow_stream.h"
#include "module/front_door.h"
#include "module/functions.h"

namespace orvex {

namespace {

// The C API version that PyModule_Create passes for every CPython 3.
constexpr int kApiVersion = 1013;

PyDoc_STRVAR(module__doc__,
             "Python module for TextGrid file manipulation.\n"
             "\n"
             "A high-performance interface for reading, writing and converting Praat\n"
             "TextGrid files. Both the long and the short TextGrid format are supported,\n"
             "and many files can be processed efficiently in one batch.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orvex",
    module__doc__,
    0,        // no per-module state: the functions keep none
    nullptr,  // the functions are added one by one at initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef* const functions[] = {
    &textgrid2vectors_def, &textgrids2vectors_def, &textgrid2data_def,
    &textgrids2data_def,   &data2textgrid_def,     &vectors2textgrid_def,  &textgrids2arrow_def,
};

// Objects made once and kept until the process ends. They are never
// released: the module object is returned again on every re-import, and the
// exception type may be raised until the very end of the interpreter's life.
struct ProcessState {
    // Id of the interpreter that initialised the module first, -1 before.
    // The module's objects belong to that interpreter and must not leak
    // into another one.
    std::atomic<std::int64_t> owner{-1};
    std::atomic<PyObject*> module{nullptr};
    // Held while the module object is being created, so that a concurrent
    // first import waits and then takes the same object.
    std::mutex creating;
    std::atomic<PyObject*> internal_error{nullptr};
};

ProcessState state;

PyDoc_STRVAR(internal_error__doc__,
             "Raised when the native code of orvex fails.\n"
             "\n"
             "Like SystemExit it derives from BaseException, not Exception, so a plain\n"
             "`except Exception` does not catch it: it typically propagates all the way\n"
             "up and ends the interpreter.");

// Returns a new reference to the module's __all__ list, creating an empty
// one when the attribute is missing.
Object all_list(Handle module) {
    Object all = Object::steal(PyObject_GetAttrString(module.get(), "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
        PyErr_Clear();
        all = Object::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return Object();
        return all;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "orvex.__all__ must be a list");
        return Object();
    }
    return all;
}

// 0, or -1 with the Python error set.
int add_function(Handle module, Handle module_name, PyMethodDef* def) {
    Object function = Object::steal(PyCMethod_New(def, module.get(), module_name.get(), nullptr));
    if (!function) return -1;
    Object name = Object::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "a function's __name__ must be a str");
        return -1;
    }
    Object all = all_list(module);
    if (!all || PyList_Append(all.get(), name.get()) < 0) return -1;
    return PyObject_SetAttr(module.get(), name.get(), function.get());
}

// A new reference to the finished module, or null with the Python error set
// (the half-built module is released then).
Object create_module() {
    Object module = Object::steal(PyModule_Create2(&module_def, kApiVersion));
    if (!module) return module;
#ifdef Py_GIL_DISABLED
    // The functions hand core results to Python objects without any locking
    // of their own; a free-threaded interpreter re-enables its lock for us.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return Object();
#endif
    Object module_name = Object::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return Object();
    for (PyMethodDef* def : functions)
        if (add_function(module, module_name, def) < 0) return Object();
    // The stream type is reachable for isinstance() and annotations; it is
    // not in __all__, which lists the functions.
    PyTypeObject* stream_type = text_grid_stream_type();
    if (stream_type == nullptr ||
        PyObject_SetAttrString(module.get(), "TextGridStream", reinterpret_cast<PyObject*>(stream_type)) < 0)
        return Object();
    // Not in __all__: a star import brings the functions, not the metadata.
    if (PyModule_AddStringConstant(module.get(), "__version__", ORVEX_VERSION) < 0) return Object();
    if (add_front_door(module) < 0) return Object();
    return module;
}

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
    if (PyObject* type = state.internal_error.load(std::memory_order_acquire)) return type;
    Object created = Object::steal(
        PyErr_NewExceptionWithDoc("orvex.InternalError", internal_error__doc__, PyExc_BaseException, nullptr));
    if (!created) return nullptr;
    PyObject* expected = nullptr;
    if (state.internal_error.compare_exchange_strong(expected, created.get(), std::memory_order_acq_rel))
        return created.release();  // owned by the process state from now on
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

PyTypeObject* type_once(std::atomic<PyTypeObject*>& slot, PyType_Spec& type_spec) noexcept {
    if (PyTypeObject* type = slot.load(std::memory_order_acquire)) return type;
    Object made = Object::steal(PyType_FromSpec(&type_spec));
    if (!made) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(made.get());
#if PY_VERSION_HEX < 0x030A0000
    type->tp_new = nullptr;
#endif
    PyTypeObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) return expected;
    (void)made.release();  // owned by slot from now on
    return type;
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

#if PY_VERSION_HEX >= 0x030A0000
namespace {

// One pause for all calls at once. A pause that restored the state it found
// would break when calls overlap: the second call to begin finds the
// collector off, and the first to end would turn it on under the other.
struct GcPauses {
    std::mutex mutex;
    std::size_t active = 0;
    bool was_enabled = false;
};

GcPauses gc_pauses;

}  // namespace

GcPause::GcPause() noexcept {
    std::lock_guard lock(gc_pauses.mutex);
    if (gc_pauses.active++ == 0) gc_pauses.was_enabled = PyGC_Disable() == 1;
}

GcPause::~GcPause() {
    std::lock_guard lock(gc_pauses.mutex);
    if (--gc_pauses.active == 0 && gc_pauses.was_enabled) PyGC_Enable();
}
#else
// Before 3.10 the collector has no C switch; the result is simply built with
// it running.
GcPause::GcPause() noexcept = default;
GcPause::~GcPause() = default;
#endif

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

PyMODINIT_FUNC PyInit_orvex(void) {
    using orvex::Object;
    using orvex::state;

    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return nullptr;

    std::int64_t expected = -1;
    if (!state.owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "orvex does not support sub-interpreters: it can only be imported in the "
                        "interpreter that imported it first");
        return nullptr;
    }

    if (PyObject* module = state.module.load(std::memory_order_acquire)) return Object::borrow(module).release();

    // Wait for the lock detached from the interpreter: the thread creating
    // the module may need the interpreter lock to finish.
    std::unique_lock lock(state.creating, std::defer_lock);
    Py_BEGIN_ALLOW_THREADS
    lock.lock();
    Py_END_ALLOW_THREADS
    if (PyObject* module = state.module.load(std::memory_order_acquire)) return Object::borrow(module).release();

    PyObject* module = orvex::guard([] { return orvex::create_module().release(); });
    if (!module) return nullptr;
    // The process state keeps this reference for good; the caller gets one
    // of its own.
    state.module.store(module, std::memory_order_release);
    return Object::borrow(module).release();
}
