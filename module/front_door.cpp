#include "module/front_door.h"

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

#include "module/errors.h"
#include "module/interpreter.h"
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

// The front door's grid as plain values: (tmin, tmax, [(name, is_interval, tmin, tmax, items),
// ...]) with items (tmin, tmax, label); the shape of textgrid2data with each tier's own bounds,
// which the front door keeps. Its items are made instances of item_type, a tuple subclass.
Object new_grid(const textgrid::TextGrid& grid, PyTypeObject* item_type) {
    Object tiers = Object::steal(PyList_New(static_cast<Py_ssize_t>(grid.tiers.size())));
    if (!tiers) return tiers;
    Py_ssize_t t = 0;
    for (const textgrid::Tier& tier : grid.tiers) {
        Object items = Object::steal(PyList_New(static_cast<Py_ssize_t>(tier.items.size())));
        if (!items) return Object();
        Py_ssize_t i = 0;
        for (const textgrid::Item& item : tier.items) {
            Object plain = Object::steal(Py_BuildValue("(dds#)", item.tmin, item.tmax, item.label.data(),
                                                       static_cast<Py_ssize_t>(item.label.size())));
            Object args = plain ? Object::steal(PyTuple_Pack(1, plain.get())) : Object();
            // tuple.__new__(item_type, plain), as a named tuple's _make does
            Object entry = args ? Object::steal(PyTuple_Type.tp_new(item_type, args.get(), nullptr)) : Object();
            if (!entry) return Object();
            PyList_SET_ITEM(items.get(), i++, entry.release());  // steals
        }
        PyObject* entry = Py_BuildValue("(s#OddO)", tier.name.data(), static_cast<Py_ssize_t>(tier.name.size()),
                                        tier.is_interval ? Py_True : Py_False, tier.tmin, tier.tmax, items.get());
        if (!entry) return Object();
        PyList_SET_ITEM(tiers.get(), t++, entry);  // steals
    }
    return Object::steal(Py_BuildValue("(ddO)", grid.tmin, grid.tmax, tiers.get()));
}

// _read_grid(path, layout, encoding, item_type): one file for the front door (orvex/_front.py),
// which checks the arguments; path is bytes, as os.fsencode gives it. An OS failure raises the
// OSError of its errno, any other read error OSError(message); the readers' fatal failures come
// as the internal-failure exception.
PyObject* read_grid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 4 || !PyBytes_Check(args[0]) || !PyUnicode_Check(args[1]) || !PyUnicode_Check(args[2]) ||
            !PyType_Check(args[3]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[3]), &PyTuple_Type)) {
            PyErr_SetString(PyExc_TypeError, "_read_grid(path: bytes, layout: str, encoding: str, item_type)");
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
        const std::optional<textgrid::Layout> known = textgrid::layout_named(layout_name == "praat" ? "auto" : layout_name);
        if (!known) {
            PyErr_Format(PyExc_ValueError, "unknown layout %R", args[1]);
            return nullptr;
        }
        const textgrid::Encoding encoding = PyUnicode_CompareWithASCIIString(args[2], "utf-8") == 0
                                                ? textgrid::Encoding::utf8
                                                : textgrid::Encoding::praat;
        textgrid::Result<textgrid::TextGrid> read = textgrid::read_from_file(path, false, *known, encoding);
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
        GcPause pause;
        return new_grid(read.value(), reinterpret_cast<PyTypeObject*>(args[3])).release();
    });
}

// 0, or -1 with the Python error set. A float from anything float() takes but a str.
int to_double(PyObject* obj, double& out) {
    out = PyFloat_AsDouble(obj);
    return out == -1.0 && PyErr_Occurred() ? -1 : 0;
}

int to_text(PyObject* obj, std::string& out) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "expected a str, not %.200s", Py_TYPE(obj)->tp_name);
        return -1;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return 0;
}

// The grid in the front door's plain shape (see new_grid) as a TextGrid, taken as it is: the
// front door has checked it. 0, or -1 with the Python error set.
int to_textgrid(PyObject* obj, textgrid::TextGrid& grid) {
    PyObject* tiers = nullptr;  // borrowed
    if (!PyArg_ParseTuple(obj, "ddO!", &grid.tmin, &grid.tmax, &PyList_Type, &tiers)) return -1;
    grid.tiers.resize(static_cast<std::size_t>(PyList_GET_SIZE(tiers)));
    grid.size = grid.tiers.size();
    for (std::size_t t = 0; t < grid.tiers.size(); ++t) {
        textgrid::Tier& tier = grid.tiers[t];
        PyObject* name = nullptr;
        PyObject* items = nullptr;
        int is_interval = 0;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(tiers, static_cast<Py_ssize_t>(t)), "OpddO!", &name, &is_interval,
                              &tier.tmin, &tier.tmax, &PyList_Type, &items) ||
            to_text(name, tier.name) < 0)
            return -1;
        tier.is_interval = is_interval != 0;
        tier.items.resize(static_cast<std::size_t>(PyList_GET_SIZE(items)));
        tier.size = tier.items.size();
        for (std::size_t i = 0; i < tier.items.size(); ++i) {
            textgrid::Item& item = tier.items[i];
            PyObject* entry = PyList_GET_ITEM(items, static_cast<Py_ssize_t>(i));
            if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 3) {
                PyErr_SetString(PyExc_TypeError, "an item must be a (tmin, tmax, label) tuple");
                return -1;
            }
            if (to_double(PyTuple_GET_ITEM(entry, 0), item.tmin) < 0 ||
                to_double(PyTuple_GET_ITEM(entry, 1), item.tmax) < 0 ||
                to_text(PyTuple_GET_ITEM(entry, 2), item.label) < 0)
                return -1;
        }
    }
    return 0;
}

// _render_grid(grid, long): the file text of a grid in the front door's plain shape, as bytes, in
// the long layout or the short one: the writer of data2textgrid, over tiers that data2textgrid
// cannot express (empty ones, and time ranges of their own).
PyObject* render_grid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 2 || !PyBool_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "_render_grid(grid, long: bool)");
            return nullptr;
        }
        textgrid::TextGrid grid;
        if (to_textgrid(args[0], grid) < 0) return nullptr;
        const std::string text = args[1] == Py_True ? grid.to_long_textgrid_string() : grid.to_short_textgrid_string();
        return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

template <class Function>
PyCFunction as_fastcall(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef read_grid_def = {"_read_grid", as_fastcall(read_grid), METH_FASTCALL, "One file read for orvex.read."};
PyMethodDef render_grid_def = {"_render_grid", as_fastcall(render_grid), METH_FASTCALL,
                               "A grid's file text for orvex.TextGrid.write."};

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
        add_method(module, module_name, &read_grid_def) < 0 || add_method(module, module_name, &render_grid_def) < 0)
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
