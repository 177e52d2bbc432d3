// textgrid2data and textgrids2data: TextGrid files as nested tuples and lists.

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/functions.h"
#include "module/module.h"
#include "textgrid/model/converter.h"
#include "textgrid/corpus/batch.h"
#include "textgrid/layout/praat_read.h"

namespace orvex {

namespace {

PyDoc_STRVAR(textgrid2data__doc__,
             "textgrid2data(file, strict, file_type)\n"
             "--\n"
             "\n"
             "Converts a single TextGrid file to structured data format.\n"
             "\n"
             "Reads the file and returns it as nested tuples and lists that keep the\n"
             "hierarchy of tiers and items, a form meant for inspection and manipulation\n"
             "by hand.\n"
             "\n"
             "Arguments:\n"
             "    file: Path of the TextGrid file.\n"
             "    strict: True for strict parsing, False for lenient parsing.\n"
             "    file_type: \"long\" or \"short\".\n"
             "\n"
             "Returns:\n"
             "    A tuple (tmin, tmax, tiers): the global start time, the global end time\n"
             "    and the list of tiers. Each tier is a tuple (name, is_interval, items),\n"
             "    is_interval being True for an interval tier and False for a point tier,\n"
             "    and items its list of (tmin, tmax, label) tuples.\n"
             "\n"
             "Errors:\n"
             "    IOError: The file cannot be read or parsed.");

PyDoc_STRVAR(textgrids2data__doc__,
             "textgrids2data(files, strict, file_type)\n"
             "--\n"
             "\n"
             "Converts multiple TextGrid files to structured data format.\n"
             "\n"
             "Processes several files as one batch and returns a list holding one element\n"
             "per file.\n"
             "\n"
             "Arguments:\n"
             "    files: List of file paths to process.\n"
             "    strict: As for textgrid2data.\n"
             "    file_type: As for textgrid2data.\n"
             "\n"
             "Returns:\n"
             "    A list with one element per file, in the order of files: a tuple\n"
             "    (tmin, tmax, tiers) of the global start time, the global end time and the\n"
             "    tiers (name, is_interval, items). A file that cannot be read gives\n"
             "    (0.0, 0.0, []).");

constexpr std::array<const char*, 3> textgrid2data_params = {"file", "strict", "file_type"};
constexpr std::array<const char*, 3> textgrids2data_params = {"files", "strict", "file_type"};

// A new 3-tuple taking over the three parts, or empty with the Python error
// set when a part is empty (its creation failed) or the tuple cannot be made.
Object new_triple(Object first, Object second, Object third) noexcept {
    if (!first || !second || !third) return Object();
    Object tuple = Object::steal(PyTuple_New(3));
    if (!tuple) return tuple;
    PyTuple_SET_ITEM(tuple.get(), 0, first.release());   // steals
    PyTuple_SET_ITEM(tuple.get(), 1, second.release());  // steals
    PyTuple_SET_ITEM(tuple.get(), 2, third.release());   // steals
    return tuple;
}

Object new_float(double value) noexcept { return Object::steal(PyFloat_FromDouble(value)); }

Object new_flag(bool value) noexcept { return Object::borrow(value ? Py_True : Py_False); }

Object new_items(const std::vector<textgrid::ItemData>& items, StrCache& labels) noexcept {
    Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (signals_raised_at(i)) return Object();
        const textgrid::ItemData& item = items[i];
        Object tuple = new_triple(new_float(item.tmin), new_float(item.tmax), labels.get(item.label));
        if (!tuple) return Object();
        // Two floats and a str can never be part of a cycle. The collector
        // would find that out itself, but only after walking every item of
        // a large grid once, which costs a sixth of building them.
        PyObject_GC_UnTrack(tuple.get());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());  // steals
    }
    return list;
}

// (tmin, tmax, [(name, is_interval, [(tmin, tmax, label), ...]), ...]) as a
// new reference, or empty with the Python error set.
Object new_textgrid_data(const textgrid::TextGridData& data) noexcept {
    Object tiers = Object::steal(PyList_New(static_cast<Py_ssize_t>(data.tiers.size())));
    if (!tiers) return tiers;
    StrCache labels;
    for (std::size_t i = 0; i < data.tiers.size(); ++i) {
        const textgrid::TierData& tier = data.tiers[i];
        Object tuple = new_triple(new_str(tier.name), new_flag(tier.is_interval), new_items(tier.items, labels));
        if (!tuple) return Object();
        PyList_SET_ITEM(tiers.get(), static_cast<Py_ssize_t>(i), tuple.release());  // steals
    }
    return new_triple(new_float(data.tmin), new_float(data.tmax), std::move(tiers));
}

Object textgrid2data_impl(const std::string& file, bool strict, textgrid::Layout layout) {
    std::optional<textgrid::TextGridData> data = read_and_convert(file, strict, layout, textgrid::to_data);
    if (!data) return Object();
    GcPause pause;
    return new_textgrid_data(*data);
}

Object textgrids2data_impl(std::vector<std::string> files, bool strict, textgrid::Layout layout) {
    Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(files.size())));
    if (!list) return list;
    GcPause pause;
    // Each entry becomes Python objects on this thread as soon as it and all
    // before it are read, while the pool reads on; building them after the
    // whole batch would leave the workers idle during the slowest part.
    const bool built = textgrid::files_to_data_each(
        files, strict, layout, [&](std::size_t i, const textgrid::TextGridData& data) {
            Object entry = new_textgrid_data(data);
            if (!entry) return false;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());  // steals
            return true;
        });
    return built ? std::move(list) : Object();
}

PyObject* textgrid2data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        ReadArguments<std::string> a;
        if (!a.convert("textgrid2data", textgrid2data_params, args, nargs, kwnames)) return nullptr;
        return textgrid2data_impl(a.paths, a.strict, a.layout).release();
    });
}

PyObject* textgrids2data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        ReadArguments<std::vector<std::string>> a;
        if (!a.convert("textgrids2data", textgrids2data_params, args, nargs, kwnames)) return nullptr;
        return textgrids2data_impl(std::move(a.paths), a.strict, a.layout).release();
    });
}

// _read_praat(path, strict): one file read with the "praat" layout, in the
// shape textgrid2data returns; empty tiers and the grid's bounds are kept,
// which the corpus stream's rows cannot hold. Private: for Python code of
// the package, not listed in __all__.
constexpr std::array<const char*, 2> read_praat_params = {"path", "strict"};

PyObject* read_praat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        std::array<Handle, 2> bound;
        std::string path;
        bool strict = false;
        if (!bind_arguments("_read_praat", read_praat_params, 2, 1, args, nargs, kwnames, bound) ||
            !convert_argument(read_praat_params[0], bound[0], path, convert_string) ||
            (bound[1] && !convert_argument(read_praat_params[1], bound[1], strict, convert_flag))) {
            return nullptr;
        }
        textgrid::Result<textgrid::TextGrid> read = textgrid::read_praat_file(path, strict);
        if (!read) {
            raise_read_error(path, read.error());
            return nullptr;
        }
        const textgrid::TextGridData data = textgrid::to_data(read.value());
        GcPause pause;
        return new_textgrid_data(data).release();
    });
}

}  // namespace

PyMethodDef read_praat_def = {"_read_praat", as_method(read_praat), METH_FASTCALL | METH_KEYWORDS,
                              "_read_praat(path, strict=False)\n--\n\nOne file read with the \"praat\" layout, as "
                              "textgrid2data shapes it."};

PyMethodDef textgrid2data_def = {"textgrid2data", as_method(textgrid2data), METH_FASTCALL | METH_KEYWORDS,
                                 textgrid2data__doc__};
PyMethodDef textgrids2data_def = {"textgrids2data", as_method(textgrids2data), METH_FASTCALL | METH_KEYWORDS,
                                  textgrids2data__doc__};

}  // namespace orvex
