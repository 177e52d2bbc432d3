#include "module/front_door.h"

namespace orvex {

namespace {

// Defined in orvex/_front.py; the order is that of __all__.
constexpr const char* kFrontNames[] = {"read", "TextGrid", "Tier", "Item", "TextGridError"};

bool is_front_name(PyObject* name) {
    for (const char* front : kFrontNames)
        if (PyUnicode_CompareWithASCIIString(name, front) == 0) return true;
    return false;
}

PyObject* module_getattr(PyObject* module, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be a str, not '%.200s'", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    if (!is_front_name(name)) {
        Object error = Object::steal(PyUnicode_FromFormat("module 'orvex' has no attribute '%U'", name));
        if (!error) return nullptr;
        Object exc = Object::steal(PyObject_CallOneArg(PyExc_AttributeError, error.get()));
        // name and obj let the interpreter suggest a close match
        if (!exc || PyObject_SetAttrString(exc.get(), "name", name) < 0 ||
            PyObject_SetAttrString(exc.get(), "obj", module) < 0)
            return nullptr;
        PyErr_SetObject(PyExc_AttributeError, exc.get());
        return nullptr;
    }
    Object front = Object::steal(PyImport_ImportModule("orvex._front"));
    if (!front) return nullptr;
    Object value = Object::steal(PyObject_GetAttr(front.get(), name));
    // Kept in the module's dict: the next lookup does not come here.
    if (!value || PyObject_SetAttr(module, name, value.get()) < 0) return nullptr;
    return value.release();
}

PyObject* module_dir(PyObject* module, PyObject*) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict) return nullptr;
    Object names = Object::steal(PyDict_Keys(dict));
    if (!names) return nullptr;
    for (const char* front : kFrontNames) {
        Object name = Object::steal(PyUnicode_FromString(front));
        if (!name) return nullptr;
        const int present = PyDict_Contains(dict, name.get());
        if (present < 0 || (present == 0 && PyList_Append(names.get(), name.get()) < 0)) return nullptr;
    }
    if (PyList_Sort(names.get()) < 0) return nullptr;
    return names.release();
}

PyMethodDef getattr_def = {"__getattr__", module_getattr, METH_O,
                           "Imports the Python part of orvex when one of its names is first used."};
PyMethodDef dir_def = {"__dir__", module_dir, METH_NOARGS, "The module's names, those not imported yet included."};

int add_method(Handle module, Handle module_name, PyMethodDef* def) {
    Object function = Object::steal(PyCMethod_New(def, module.get(), module_name.get(), nullptr));
    if (!function) return -1;
    return PyObject_SetAttrString(module.get(), def->ml_name, function.get());
}

}  // namespace

int add_front_door(Handle module) {
    Object module_name = Object::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) return -1;
    if (add_method(module, module_name, &getattr_def) < 0 || add_method(module, module_name, &dir_def) < 0)
        return -1;
    Object all = Object::steal(PyObject_GetAttrString(module.get(), "__all__"));
    if (!all) return -1;
    for (const char* front : kFrontNames) {
        Object name = Object::steal(PyUnicode_FromString(front));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace orvex
