// arrow2textgrids(items, out_dir, file_type="long", *, tiers=None,
// files=None, overwrite=False): TextGrid files from Arrow tables, and the
// report type it returns.
//
// The tables arrive through the Arrow PyCapsule interface from whatever
// library made them; the import, the grouping, the validation and the
// writing all live in the core library (corpus/arrow_import.h,
// corpus/corpus_writer.h) and run with the interpreter lock released.

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/functions.h"
#include "module/module.h"
#include "textgrid/corpus/arrow_import.h"
#include "textgrid/corpus/corpus_writer.h"

namespace orvex {

namespace {

PyDoc_STRVAR(arrow2textgrids__doc__,
             "arrow2textgrids(items, out_dir, file_type=\"long\", *, tiers=None, files=None, overwrite=False)\n"
             "--\n"
             "\n"
             "Writes one TextGrid file per distinct file value of Arrow tables.\n"
             "\n"
             "The inverse of textgrids2arrow: its tables, edited with pyarrow, polars,\n"
             "DuckDB or anything else that speaks Arrow, go back to a folder of\n"
             "TextGrid files. Files are written in parallel, each under a temporary\n"
             "name that is then renamed over the target, so a crash, a full disk or\n"
             "Ctrl-C leaves either the old file or the whole new one.\n"
             "\n"
             "Arguments:\n"
             "    items: One row per interval or point: an object with\n"
             "        __arrow_c_stream__ or __arrow_c_array__ (pyarrow.Table,\n"
             "        RecordBatchReader, TextGridStream, polars.DataFrame, a DuckDB\n"
             "        relation, ...). Columns file, tier, tmin, tmax and label are\n"
             "        required; is_interval (default: interval tiers) and tier_index\n"
             "        (default: the tiers of a file told apart by name, in order of\n"
             "        first appearance) are optional. Strings may be utf8, large_utf8,\n"
             "        string_view or dictionary-encoded; times any float or integer.\n"
             "    out_dir: Folder the files are written below; created if missing.\n"
             "        A relative file value is joined to it; absolute values are\n"
             "        taken relative to the longest folder they share.\n"
             "    file_type: \"long\" or \"short\".\n"
             "    tiers: Optional, one row per tier (file, tier, tmin, tmax, and\n"
             "        optionally tier_index, is_interval): keeps tier bounds, tier\n"
             "        order and tiers without items.\n"
             "    files: Optional, one row per file (file, tmin, tmax): keeps the\n"
             "        grid's bounds and files without tiers.\n"
             "    overwrite: Whether an existing file may be replaced.\n"
             "\n"
             "Returns:\n"
             "    A WriteReport: failures, a list of (file, path, message) in file\n"
             "    order; files_written; files_total.\n"
             "\n"
             "Errors:\n"
             "    TypeError, ValueError: A missing column, a column of the wrong type, a\n"
             "        null or malformed value, or a bad argument, raised before anything\n"
             "        is written.\n"
             "    OSError: out_dir cannot be created or opened.\n"
             "\n"
             "Notes:\n"
             "    No file stops the others: a grid that fails validation (with the\n"
             "    messages of data2textgrid), a path leading outside out_dir, a file\n"
             "    that exists while overwrite is False, or one that cannot be written\n"
             "    is a failure in the report. Without the tiers and files tables a grid\n"
             "    spans its items and every tier spans its grid. Items are written in\n"
             "    time order within their tier.");

// ---- the report type ---------------------------------------------------------

PyStructSequence_Field report_fields[] = {
    {"failures", "(file, path, message) for every file not written, in file order"},
    {"files_written", "files written"},
    {"files_total", "distinct file values"},
    {nullptr, nullptr},
};

PyStructSequence_Desc report_desc = {"orvex.WriteReport", "What arrow2textgrids wrote and what it could not.",
                                     report_fields, 3};

std::atomic<PyTypeObject*> report_type_slot{nullptr};

// ---- Python side ------------------------------------------------------------

// The interrupt check while the lock is released: takes it back for a
// moment, at most every 20 ms, to run the signal handlers. Their exception
// stays pending on this thread for the caller to raise.
struct DetachedSignals {
    std::chrono::steady_clock::time_point next{};

    static bool check(void* context) noexcept {
        auto* self = static_cast<DetachedSignals*>(context);
        const auto now = std::chrono::steady_clock::now();
        if (now < self->next) return false;
        self->next = now + std::chrono::milliseconds(20);
        const PyGILState_STATE gil = PyGILState_Ensure();
        const bool stop = PyErr_Occurred() != nullptr || PyErr_CheckSignals() < 0;
        PyGILState_Release(gil);
        return stop;
    }
};

template <class Struct>
bool take_capsule(Handle capsule, const char* name, Struct& out) {
    auto* inner = static_cast<Struct*>(PyCapsule_GetPointer(capsule.get(), name));
    if (inner == nullptr) return false;
    out = *inner;
    inner->release = nullptr;  // moved: the capsule frees only the shell
    return true;
}

// The table behind obj, by its __arrow_c_stream__ or __arrow_c_array__.
std::optional<textgrid::ArrowTable> import_table(const char* param, Handle obj) {
    auto failed = [&](textgrid::Result<textgrid::ArrowTable>& table) -> std::optional<textgrid::ArrowTable> {
        if (table) return std::move(table).value();
        std::string text = std::string("argument '") + param + "': " + table.error().message;
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return std::nullopt;
    };
    if (PyObject_HasAttrString(obj.get(), "__arrow_c_stream__")) {
        Object capsule = Object::steal(PyObject_CallMethod(obj.get(), "__arrow_c_stream__", nullptr));
        if (!capsule) return std::nullopt;
        ArrowArrayStream stream;
        if (!take_capsule(capsule, "arrow_array_stream", stream)) return std::nullopt;
        textgrid::Result<textgrid::ArrowTable> table = [&] {
            WithoutGil unlocked;  // a TextGridStream reads files meanwhile
            return textgrid::ArrowTable::from_stream(stream);
        }();
        return failed(table);
    }
    if (PyObject_HasAttrString(obj.get(), "__arrow_c_array__")) {
        Object pair = Object::steal(PyObject_CallMethod(obj.get(), "__arrow_c_array__", nullptr));
        if (!pair) return std::nullopt;
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_TypeError, "argument '%s': __arrow_c_array__ must return a pair of capsules", param);
            return std::nullopt;
        }
        ArrowSchema schema;
        ArrowArray array;
        if (!PyCapsule_IsValid(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array") ||
            !take_capsule(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema", schema))
            return std::nullopt;
        if (!take_capsule(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array", array)) {
            schema.release(&schema);
            return std::nullopt;
        }
        textgrid::Result<textgrid::ArrowTable> table = textgrid::ArrowTable::from_array(schema, array);
        return failed(table);
    }
    Object name = type_name(obj.type());
    if (name)
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected an Arrow table (an object with __arrow_c_stream__ or "
                     "__arrow_c_array__), not '%U'",
                     param, name.get());
    return std::nullopt;
}

bool raise_column_failure(const std::optional<textgrid::ColumnFailure>& failure) {
    if (!failure) return false;
    PyObject* type = failure->problem == textgrid::ColumnProblem::wrong_type ? PyExc_TypeError : PyExc_ValueError;
    Object text = Object::steal(PyUnicode_DecodeUTF8(failure->message.data(),
                                                     static_cast<Py_ssize_t>(failure->message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return true;
}

// Every column the write needs, read and checked. Sets a Python error and
// returns false on the first failure.
bool read_columns(const textgrid::ArrowTable& items, const std::optional<textgrid::ArrowTable>& tiers,
                  const std::optional<textgrid::ArrowTable>& files, textgrid::CorpusTables& out) {
    using namespace textgrid;
    std::optional<ColumnFailure> failure;
    {
        WithoutGil unlocked;
        CorpusItemRows& i = out.items;
        failure = read_string_column(items, "items", "file", true, i.file);
        if (!failure) failure = read_string_column(items, "items", "tier", true, i.tier);
        if (!failure) failure = read_number_column(items, "items", "tmin", true, i.tmin);
        if (!failure) failure = read_number_column(items, "items", "tmax", true, i.tmax);
        if (!failure) failure = read_string_column(items, "items", "label", true, i.label);
        if (!failure) failure = read_flag_column(items, "items", "is_interval", false, i.is_interval);
        if (!failure) failure = read_index_column(items, "items", "tier_index", false, i.tier_index);
        if (tiers && !failure) {
            CorpusTierRows& t = out.tiers;
            t.given = true;
            failure = read_string_column(*tiers, "tiers", "file", true, t.file);
            if (!failure) failure = read_string_column(*tiers, "tiers", "tier", true, t.tier);
            if (!failure) failure = read_number_column(*tiers, "tiers", "tmin", true, t.tmin);
            if (!failure) failure = read_number_column(*tiers, "tiers", "tmax", true, t.tmax);
            if (!failure) failure = read_flag_column(*tiers, "tiers", "is_interval", false, t.is_interval);
            if (!failure) failure = read_index_column(*tiers, "tiers", "tier_index", false, t.tier_index);
        }
        if (files && !failure) {
            CorpusFileRows& f = out.files;
            f.given = true;
            failure = read_string_column(*files, "files", "file", true, f.file);
            if (!failure) failure = read_number_column(*files, "files", "tmin", true, f.tmin);
            if (!failure) failure = read_number_column(*files, "files", "tmax", true, f.tmax);
        }
    }
    if (PyErr_Occurred()) return false;  // the interrupt check stopped a read
    return !raise_column_failure(failure);
}

bool convert_out_dir(Handle obj, std::string& out) {
    Object fspath = Object::steal(PyOS_FSPath(obj.get()));
    if (!fspath) return false;
    if (PyBytes_Check(fspath.get())) {
        out.assign(PyBytes_AS_STRING(fspath.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(fspath.get())));
        return true;
    }
    Object encoded = Object::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!encoded) return false;
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

Object utf8_text(std::string_view s) {
    return Object::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

Object make_report(const textgrid::WriteReport& report) {
    PyTypeObject* type = write_report_type();
    if (type == nullptr) return Object();
    Object failures = Object::steal(PyList_New(static_cast<Py_ssize_t>(report.failures.size())));
    if (!failures) return Object();
    for (std::size_t i = 0; i < report.failures.size(); ++i) {
        const textgrid::WriteFailure& f = report.failures[i];
        Object path = Object::steal(
            PyUnicode_DecodeFSDefaultAndSize(f.path.data(), static_cast<Py_ssize_t>(f.path.size())));
        Object file = utf8_text(f.file);
        Object message = utf8_text(f.message);
        if (!path || !file || !message) return Object();
        PyObject* tuple = PyTuple_Pack(3, file.get(), path.get(), message.get());
        if (tuple == nullptr) return Object();
        PyList_SET_ITEM(failures.get(), static_cast<Py_ssize_t>(i), tuple);  // steals
    }
    Object written = Object::steal(PyLong_FromSize_t(report.files_written));
    Object total = Object::steal(PyLong_FromSize_t(report.files_total));
    if (!written || !total) return Object();
    Object result = Object::steal(PyStructSequence_New(type));
    if (!result) return result;
    PyStructSequence_SetItem(result.get(), 0, failures.release());  // steals
    PyStructSequence_SetItem(result.get(), 1, written.release());
    PyStructSequence_SetItem(result.get(), 2, total.release());
    return result;
}

Object arrow2textgrids_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Bound in the signature's order: items, out_dir, file_type, then the
    // keyword-only ones.
    constexpr std::array<const char*, 6> names = {"items", "out_dir", "file_type", "tiers", "files", "overwrite"};
    std::array<Handle, 6> bound;
    if (!bind_arguments("arrow2textgrids", names, 3, 2, args, nargs, kwnames, bound)) return Object();
    std::string out_dir;
    if (!convert_argument("out_dir", bound[1], out_dir, convert_out_dir)) return Object();
    textgrid::CorpusWriteOptions options;
    if (bound[2]) {
        std::string file_type;
        if (!convert_argument("file_type", bound[2], file_type, convert_string)) return Object();
        if (file_type != "long" && file_type != "short") {
            PyErr_Format(PyExc_ValueError, "file_type must be 'long' or 'short', not %R", bound[2].get());
            return Object();
        }
        options.long_layout = file_type == "long";
    }
    if (bound[5]) {
        const int truth = PyObject_IsTrue(bound[5].get());
        if (truth < 0) return Object();
        options.overwrite = truth != 0;
    }

    DetachedSignals signals;
    textgrid::InterruptScope interrupts(&DetachedSignals::check, &signals);
    std::optional<textgrid::ArrowTable> items = import_table("items", bound[0]);
    if (!items) return Object();
    std::optional<textgrid::ArrowTable> tiers;
    if (bound[3] && bound[3].get() != Py_None && !(tiers = import_table("tiers", bound[3]))) return Object();
    std::optional<textgrid::ArrowTable> files;
    if (bound[4] && bound[4].get() != Py_None && !(files = import_table("files", bound[4]))) return Object();

    textgrid::CorpusTables tables;
    if (!read_columns(*items, tiers, files, tables)) return Object();
    textgrid::Result<textgrid::WriteReport> report = [&] {
        WithoutGil unlocked;
        return textgrid::write_corpus(tables, out_dir, options);
    }();
    if (!report) {
        Object shown = Object::steal(
            PyUnicode_DecodeFSDefaultAndSize(out_dir.data(), static_cast<Py_ssize_t>(out_dir.size())));
        if (!shown) return Object();
        Object text = Object::steal(PyUnicode_AsUTF8String(shown.get()));
        if (!text) PyErr_Clear();
        raise_os_error("Failed to open the output folder " +
                       (text ? std::string(PyBytes_AS_STRING(text.get())) : out_dir) +
                       " because: " + report.error().text());
        return Object();
    }
    return make_report(report.value());
}

PyObject* arrow2textgrids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* { return arrow2textgrids_impl(args, nargs, kwnames).release(); });
}

}  // namespace

PyTypeObject* write_report_type() noexcept {
    PyTypeObject* type = report_type_slot.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    type = PyStructSequence_NewType(&report_desc);
    if (type == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!report_type_slot.compare_exchange_strong(expected, type)) {
        Py_DECREF(type);
        return expected;
    }
    return type;
}

PyMethodDef arrow2textgrids_def = {"arrow2textgrids", as_method(arrow2textgrids), METH_FASTCALL | METH_KEYWORDS,
                                   arrow2textgrids__doc__};

}  // namespace orvex
