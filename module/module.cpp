// Module initialisation: the module object, made once for the process, and
// the registration of the functions and the stream type.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "module/arrow_stream.h"
#include "module/errors.h"
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
// released: the module object is returned again on every re-import.
struct ProcessState {
    // Id of the interpreter that initialised the module first, -1 before.
    // The module's objects belong to that interpreter and must not leak
    // into another one.
    std::atomic<std::int64_t> owner{-1};
    std::atomic<PyObject*> module{nullptr};
    // Held while the module object is being created, so that a concurrent
    // first import waits and then takes the same object.
    std::mutex creating;
};

ProcessState state;

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
    {
        // A private helper, kept out of __all__.
        Object helper = Object::steal(PyCMethod_New(&read_praat_def, module.get(), module_name.get(), nullptr));
        if (!helper || PyObject_SetAttrString(module.get(), read_praat_def.ml_name, helper.get()) < 0)
            return Object();
    }
    // Not in __all__: a star import brings the functions, not the metadata.
    if (PyModule_AddStringConstant(module.get(), "__version__", ORVEX_VERSION) < 0) return Object();
    if (add_front_door(module) < 0) return Object();
    return module;
}

}  // namespace

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
