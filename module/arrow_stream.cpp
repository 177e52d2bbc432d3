// textgrids2arrow(files, strict=False, file_type="praat", *, encoding="auto",
// batch_files=None, rows="items") and its stream type.

#include "module/arrow_stream.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/functions.h"
#include "module/module.h"
#include "textgrid/corpus/arrow_batch.h"
#include "textgrid/corpus/corpus_reader.h"

namespace orvex {

namespace {

// ---- the stream object ---------------------------------------------------------

struct StreamObject {
    PyObject_HEAD
    // Shared with the exported C stream, so that either may outlive the
    // other; failures stay readable after the consumer let go.
    std::shared_ptr<textgrid::CorpusReader>* reader;
    PyObject* failures;  // list of the failure tuples converted so far, or null
    bool exported;
};

textgrid::CorpusReader& reader_of(PyObject* self) noexcept {
    return **reinterpret_cast<StreamObject*>(self)->reader;
}

void stream_dealloc(PyObject* self) {
    auto* stream = reinterpret_cast<StreamObject*>(self);
    Py_CLEAR(stream->failures);
    if (stream->reader != nullptr) {
        // The last owner waits for the reading thread to end; that thread
        // never needs the interpreter, so others may run meanwhile.
        std::shared_ptr<textgrid::CorpusReader>* reader = std::exchange(stream->reader, nullptr);
        WithoutGil unlocked;
        delete reader;
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The consumer's Ctrl-C. Python runs signal handlers only on its main
// thread, so only a get_next made there can see one; it then takes the
// interpreter lock for a moment (the consumer released it, or holds it
// itself) and runs the pending handlers. An exception they raise ends the
// stream with its description; a handler that returns lets reading go on.
// Other threads never take the lock here: their consumer may hold it while
// waiting for them.
textgrid::InterruptHook make_interrupt_hook() {
    Object threading = Object::steal(PyImport_ImportModule("threading"));
    Object main = threading ? Object::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Object();
    Object ident = main ? Object::steal(PyObject_GetAttrString(main.get(), "ident")) : Object();
    const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return {};
    }
    return [main_ident]() -> std::optional<std::string> {
        if (PyThread_get_thread_ident() != main_ident || !Py_IsInitialized() || interpreter_finalizing())
            return std::nullopt;
        const PyGILState_STATE gil = PyGILState_Ensure();
        std::optional<std::string> reason;
        // A consumer that calls with the lock held and an error of its own
        // pending keeps that error untouched.
        if (!PyErr_Occurred() && PyErr_CheckSignals() < 0) {
            Object exc = fetch_error();
            try {
                reason = "reading stopped by " + (exc ? describe_error(exc) : std::string("a signal"));
            } catch (const std::bad_alloc&) {
                reason.reset();
            }
            if (!reason) PyErr_Clear();
        }
        PyGILState_Release(gil);
        return reason;
    };
}

void destroy_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    // A consumer takes the stream over by moving it out; one left here was
    // never taken and is released with the capsule.
    if (stream->release != nullptr) {
        WithoutGil unlocked;
        stream->release(stream);
    }
    delete stream;
}

void destroy_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

constexpr std::array<const char*, 1> arrow_c_stream_params = {"requested_schema"};

PyObject* stream_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        std::array<Handle, 1> bound;
        if (!bind_arguments("__arrow_c_stream__", arrow_c_stream_params, 1, 0, args, nargs, kwnames, bound))
            return nullptr;
        // A requested schema may be ignored: the consumer casts what it gets.
        // The one schema there is already uses the narrowest types.
        if (bound[0] && bound[0].get() != Py_None && !PyCapsule_IsValid(bound[0].get(), "arrow_schema")) {
            PyErr_SetString(PyExc_TypeError, "requested_schema must be None or an 'arrow_schema' PyCapsule");
            return nullptr;
        }
        auto* stream = reinterpret_cast<StreamObject*>(self);
        if (stream->exported) {
            PyErr_SetString(PyExc_RuntimeError,
                            "this TextGridStream was already exported: it can be consumed only once; call "
                            "textgrids2arrow() again for a new stream");
            return nullptr;
        }
        textgrid::InterruptHook hook = make_interrupt_hook();
        auto c_stream = std::make_unique<ArrowArrayStream>();
        if (!textgrid::export_corpus_stream(*stream->reader, std::move(hook), c_stream.get())) throw std::bad_alloc();
        Object capsule = Object::steal(PyCapsule_New(c_stream.get(), "arrow_array_stream", destroy_stream_capsule));
        if (!capsule) {
            c_stream->release(c_stream.get());
            return nullptr;
        }
        (void)c_stream.release();  // the capsule owns it now
        stream->exported = true;
        return capsule.release();
    });
}

PyObject* stream_arrow_c_schema(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        auto schema = std::make_unique<ArrowSchema>();
        textgrid::export_corpus_schema(schema.get(), reader_of(self).rows());
        Object capsule = Object::steal(PyCapsule_New(schema.get(), "arrow_schema", destroy_schema_capsule));
        if (!capsule) {
            schema->release(schema.get());
            return nullptr;
        }
        (void)schema.release();  // the capsule owns it now
        return capsule.release();
    });
}

// Brings the cached list up to date and returns a copy of it.
PyObject* stream_failures(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        auto* stream = reinterpret_cast<StreamObject*>(self);
        if (stream->failures == nullptr && !(stream->failures = PyList_New(0))) return nullptr;
        textgrid::CorpusReader& reader = reader_of(self);
        const std::vector<textgrid::ReadFailure> fresh =
            reader.failures_since(static_cast<std::size_t>(PyList_GET_SIZE(stream->failures)));
        for (const textgrid::ReadFailure& failure : fresh) {
            Object id = Object::steal(PyLong_FromUnsignedLong(failure.file_id));
            Object path = new_str(reader.file(failure.file_id).display);
            Object message = Object::steal(
                PyUnicode_DecodeUTF8(failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()), "replace"));
            if (!id || !path || !message) return nullptr;
            Object tuple = Object::steal(PyTuple_Pack(3, id.get(), path.get(), message.get()));
            if (!tuple || PyList_Append(stream->failures, tuple.get()) < 0) return nullptr;
        }
        return PyList_GetSlice(stream->failures, 0, PyList_GET_SIZE(stream->failures));
    });
}

PyObject* stream_files_done(PyObject* self, void*) { return PyLong_FromSize_t(reader_of(self).files_done()); }

PyObject* stream_files_total(PyObject* self, void*) { return PyLong_FromSize_t(reader_of(self).files_total()); }

PyObject* stream_repr(PyObject* self) {
    const textgrid::CorpusReader& reader = reader_of(self);
    return PyUnicode_FromFormat("<orvex.TextGridStream: %zu of %zu files read%s>", reader.files_done(),
                                reader.files_total(),
                                reinterpret_cast<StreamObject*>(self)->exported ? ", exported" : "");
}

PyDoc_STRVAR(arrow_c_stream__doc__,
             "__arrow_c_stream__($self, /, requested_schema=None)\n"
             "--\n"
             "\n"
             "Exports the stream as an 'arrow_array_stream' PyCapsule (Arrow PyCapsule\n"
             "interface). A stream can be exported once; a second call raises\n"
             "RuntimeError. requested_schema is accepted and ignored: consumers cast.");

PyDoc_STRVAR(arrow_c_schema__doc__,
             "__arrow_c_schema__($self, /)\n"
             "--\n"
             "\n"
             "The schema of the batches as an 'arrow_schema' PyCapsule.");

PyMethodDef stream_methods[] = {
    {"__arrow_c_stream__", as_method(stream_arrow_c_stream),
     METH_FASTCALL | METH_KEYWORDS, arrow_c_stream__doc__},
    {"__arrow_c_schema__", stream_arrow_c_schema, METH_NOARGS, arrow_c_schema__doc__},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"failures", stream_failures, nullptr,
     "(file_id, path, message) for every file that could not be read, in file order: complete once the\n"
     "stream has ended, partial before. A new list on every access.",
     nullptr},
    {"files_done", stream_files_done, nullptr, "Files whose rows (and failures) were handed out so far.", nullptr},
    {"files_total", stream_files_total, nullptr, "Files in the stream.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(stream__doc__,
             "A stream of Arrow record batches over TextGrid files, made by textgrids2arrow().\n"
             "\n"
             "Hand it to any consumer of the Arrow PyCapsule interface (pyarrow.table,\n"
             "pyarrow.RecordBatchReader.from_stream, polars.DataFrame, duckdb). It can be\n"
             "consumed once.");

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&stream_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&stream_repr)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>(stream__doc__)},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "orvex.TextGridStream",
    static_cast<int>(sizeof(StreamObject)),
    0,
#if PY_VERSION_HEX >= 0x030A0000
    // Only textgrids2arrow makes these: an instance made from Python would
    // have no reader.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
#else
    Py_TPFLAGS_DEFAULT,
#endif
    stream_slots,
};

// ---- textgrids2arrow -----------------------------------------------------------

PyDoc_STRVAR(textgrids2arrow__doc__,
             "textgrids2arrow(files, strict=False, file_type='praat', *, encoding='auto', batch_files=None,\n"
             "                rows='items')\n"
             "--\n"
             "\n"
             "Reads a corpus of TextGrid files as a stream of Arrow record batches.\n"
             "\n"
             "Returns at once; the files are read as the consumer asks for batches, on\n"
             "the worker pool and one batch ahead. Each batch holds the rows of a run of\n"
             "consecutive files, in file, tier and item order. With rows='items', one\n"
             "row per interval or point, with the columns file_id (uint32, the file's\n"
             "position), file (dictionary of the paths as given), tier (dictionary of\n"
             "tier names), tier_index (uint32, the tier's position in its file),\n"
             "is_interval (bool), tmin and tmax (float64) and label (utf8). No file ends\n"
             "the stream: one that cannot be read gives no rows and an entry in the\n"
             "stream's failures.\n"
             "\n"
             "Arguments:\n"
             "    files: A directory (every *.TextGrid file below it, any letter case,\n"
             "        sorted by path), one file, or an iterable of paths (str, bytes or\n"
             "        os.PathLike).\n"
             "    strict: True to validate every file; a file that fails is a failure.\n"
             "    file_type: \"praat\" (each file read as Praat reads it: the text file in\n"
             "        either layout, the chronological and the binary file; anything\n"
             "        Praat refuses is a failure), or \"long\", \"short\" or \"auto\" (the\n"
             "        readers of the other functions).\n"
             "    encoding: \"auto\" (as Praat reads: UTF-16 with a byte order mark,\n"
             "        UTF-8, else Latin-1) or \"utf-8\".\n"
             "    batch_files: Files per batch; None picks runs of about 16 MB of text.\n"
             "    rows: \"items\" (the table above), \"tiers\" (one row per tier, a tier\n"
             "        without items included: file_id, file, tier_index, tier,\n"
             "        is_interval, tmin and tmax of the tier, size: its items, uint32) or\n"
             "        \"files\" (one row per file read: file_id, file, tmin and tmax of the\n"
             "        grid, tiers: its tiers, uint32). The three tables of the same\n"
             "        files and options agree on file_id, file and tier_index.\n"
             "\n"
             "Returns:\n"
             "    A TextGridStream: pass it to pyarrow.table(), polars.DataFrame(),\n"
             "    duckdb and other consumers of the Arrow PyCapsule interface. Its\n"
             "    failures attribute lists (file_id, path, message) for every file that\n"
             "    could not be read; files_done and files_total count progress.\n"
             "\n"
             "Errors:\n"
             "    TypeError, ValueError: Arguments of the wrong type or value, raised\n"
             "        before anything is read.\n"
             "    OSError: A directory given as files cannot be listed.");

constexpr std::array<const char*, 6> textgrids2arrow_params = {"files",    "strict",      "file_type",
                                                               "encoding", "batch_files", "rows"};

Object textgrids2arrow_impl(std::vector<textgrid::CorpusFile> files, textgrid::CorpusOptions options) {
    PyTypeObject* type = text_grid_stream_type();
    if (type == nullptr) return Object();
    auto reader = std::make_unique<std::shared_ptr<textgrid::CorpusReader>>(
        std::make_shared<textgrid::CorpusReader>(std::move(files), std::move(options)));
    Object self = Object::steal(type->tp_alloc(type, 0));  // zero-filled
    if (!self) return self;
    reinterpret_cast<StreamObject*>(self.get())->reader = reader.release();
    return self;
}

PyObject* textgrids2arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        CorpusArguments a;
        if (!a.convert("textgrids2arrow", textgrids2arrow_params, args, nargs, kwnames)) return nullptr;
        return textgrids2arrow_impl(std::move(a.files), std::move(a.options)).release();
    });
}

}  // namespace

PyTypeObject* text_grid_stream_type() noexcept {
    static std::atomic<PyTypeObject*> type{nullptr};
    return type_once(type, stream_spec);
}

PyMethodDef textgrids2arrow_def = {"textgrids2arrow", as_method(textgrids2arrow), METH_FASTCALL | METH_KEYWORDS,
                                   textgrids2arrow__doc__};

}  // namespace orvex
