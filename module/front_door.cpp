#include "module/front_door.h"

#include <cerrno>
#include <string>
#include <string_view>

#include "module/module.h"
#include "textgrid/layout/read.h"

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

// (tmin, tmax, [(name, is_interval, tmin, tmax, [(tmin, tmax, label), ...]), ...]): the shape of
// textgrid2data with each tier's own bounds, which the front door keeps.
Object new_grid(const textgrid::TextGrid& grid) {
    Object tiers = Object::steal(PyList_New(static_cast<Py_ssize_t>(grid.tiers.size())));
    if (!tiers) return tiers;
    Py_ssize_t t = 0;
    for (const textgrid::Tier& tier : grid.tiers) {
        Object items = Object::steal(PyList_New(static_cast<Py_ssize_t>(tier.items.size())));
        if (!items) return Object();
        Py_ssize_t i = 0;
        for (const textgrid::Item& item : tier.items) {
            PyObject* entry = Py_BuildValue("(dds#)", item.tmin, item.tmax, item.label.data(),
                                            static_cast<Py_ssize_t>(item.label.size()));
            if (!entry) return Object();
            PyList_SET_ITEM(items.get(), i++, entry);  // steals
        }
        PyObject* entry = Py_BuildValue("(s#OddO)", tier.name.data(), static_cast<Py_ssize_t>(tier.name.size()),
                                        tier.is_interval ? Py_True : Py_False, tier.tmin, tier.tmax, items.get());
        if (!entry) return Object();
        PyList_SET_ITEM(tiers.get(), t++, entry);  // steals
    }
    return Object::steal(Py_BuildValue("(ddO)", grid.tmin, grid.tmax, tiers.get()));
}

// _read_grid(path, layout, encoding): one file for the front door (orvex/_front.py), which checks
// the arguments; path is bytes, as os.fsencode gives it. An OS failure raises the OSError of its
// errno, any other read error OSError(message); the readers' fatal failures come as the
// internal-failure exception.
PyObject* read_grid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 3 || !PyBytes_Check(args[0]) || !PyUnicode_Check(args[1]) || !PyUnicode_Check(args[2])) {
            PyErr_SetString(PyExc_TypeError, "_read_grid(path: bytes, layout: str, encoding: str)");
            return nullptr;
        }
        const std::string path(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
        if (path.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return nullptr;
        }
        Py_ssize_t size = 0;
        const char* layout = PyUnicode_AsUTF8AndSize(args[1], &size);
        if (!layout) return nullptr;
        const std::string_view layout_name(layout, static_cast<std::size_t>(size));
        const textgrid::Encoding encoding = PyUnicode_CompareWithASCIIString(args[2], "utf-8") == 0
                                                ? textgrid::Encoding::utf8
                                                : textgrid::Encoding::praat;
        textgrid::Result<textgrid::TextGrid> read =
            textgrid::read_from_file(path, false, layout_name == "praat" ? "auto" : layout_name, encoding);
        if (!read) {
            const textgrid::Error& error = read.error();
            if (error.kind == textgrid::ErrorKind::os) {
                errno = error.os_errno;
                PyErr_SetFromErrno(PyExc_OSError);
            } else {
                raise_os_error(error.text());
            }
            return nullptr;
        }
        return new_grid(read.value()).release();
    });
}

PyMethodDef read_grid_def = {"_read_grid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_grid)),
                             METH_FASTCALL, "One file read for orvex.read."};

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
    if (add_method(module, module_name, &getattr_def) < 0 || add_method(module, module_name, &dir_def) < 0 ||
        add_method(module, module_name, &read_grid_def) < 0)
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
