#include "module/args.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>

#include "module/errors.h"
#include "textgrid/os/file_io.h"
#include "textgrid/text/text_decode.h"

namespace orvex {

namespace {

// The interpreter's own rules for binding arguments to `def f(a, b, c)`, in
// its order: keywords first (unknown name, then a parameter already bound
// by position), then too many positional arguments, then missing ones.

void raise_unexpected_keyword(const char* function, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, keyword);
}

void raise_multiple_values(const char* function, const char* name) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, name);
}

// CPython's wording, defaults and keyword-only arguments included:
// "f() takes from 1 to 3 positional arguments but 5 positional arguments
// (and 1 keyword-only argument) were given".
void raise_too_many_positional(const char* function, const detail::Parameters& params, Py_ssize_t given,
                               const Handle* out) {
    std::size_t keyword_only_given = 0;
    for (std::size_t i = params.positional; i < params.count; ++i)
        if (out[i]) ++keyword_only_given;
    std::string takes;
    if (params.required < params.positional) {
        takes = "from " + std::to_string(params.required) + " to " + std::to_string(params.positional) +
                " positional arguments";
    } else {
        takes = std::to_string(params.positional) + " positional argument" + (params.positional == 1 ? "" : "s");
    }
    std::string given_text = std::to_string(given);
    if (keyword_only_given != 0) {
        given_text += given == 1 ? " positional argument" : " positional arguments";
        given_text += " (and " + std::to_string(keyword_only_given) + " keyword-only argument" +
                      (keyword_only_given == 1 ? ")" : "s)");
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %s but %s %s given", function, takes.c_str(), given_text.c_str(),
                 given == 1 && keyword_only_given == 0 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
// Only the parameters without a default can be missing: the first `count`.
void raise_missing(const char* function, const char* const* names, std::size_t count, const Handle* out) {
    std::string list;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (!out[i]) ++missing;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (out[i]) continue;
        if (seen > 0) {
            if (missing == 2) list += " and ";
            else if (seen + 1 == missing) list += ", and ";
            else list += ", ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
        ++seen;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function, missing,
                 missing == 1 ? "" : "s", list.c_str());
}

bool is_numpy_bool_type(PyTypeObject* type) {
    // NumPy names its boolean scalar "bool_" before 2.0 and "bool" since.
    // Compare names rather than importing NumPy: the module must work, and
    // import quickly, without it.
    Object name = type_name(type);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)
        return false;
    Object module = Object::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

// NumPy boolean arrays are iterated element by element, each a NumPy scalar,
// so the type recognised last is remembered. The reference is kept for the
// whole process so that the pointer can never name a different, later type.
std::atomic<PyObject*> known_numpy_bool{nullptr};

bool is_numpy_bool(PyTypeObject* type) {
    if (reinterpret_cast<PyObject*>(type) == known_numpy_bool.load(std::memory_order_acquire)) return true;
    if (!is_numpy_bool_type(type)) return false;
    Object keep = Object::borrow(reinterpret_cast<PyObject*>(type));
    PyObject* expected = nullptr;
    if (known_numpy_bool.compare_exchange_strong(expected, keep.get(), std::memory_order_acq_rel))
        (void)keep.release();  // now owned by known_numpy_bool, never released
    return true;
}

bool raise_cannot_cast(Handle obj, const char* target) {
    Object name = type_name(obj.type());
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), target);
    return false;
}

}  // namespace

namespace detail {

bool bind_arguments(const char* function, const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Handle* out) {
    const std::size_t count = params.count;
    const std::size_t given = static_cast<std::size_t>(nargs);
    const std::size_t positional = std::min(given, params.positional);
    for (std::size_t i = 0; i < count; ++i) out[i] = i < positional ? Handle(args[i]) : Handle();

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
        std::size_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(keyword, params.names[i]) != 0) ++i;
        if (i == count) {
            raise_unexpected_keyword(function, keyword);
            return false;
        }
        if (out[i]) {
            raise_multiple_values(function, params.names[i]);
            return false;
        }
        out[i] = Handle(args[nargs + k]);
    }

    if (given > params.positional) {
        raise_too_many_positional(function, params, nargs, out);
        return false;
    }
    for (std::size_t i = 0; i < params.required; ++i) {
        if (!out[i]) {
            raise_missing(function, params.names, params.required, out);
            return false;
        }
    }
    return true;
}

bool bind_arguments(const char* function, const char* const* names, std::size_t count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, Handle* out) {
    return bind_arguments(function, Parameters{names, count, count, count}, args, nargs, kwnames, out);
}

bool check_list(Handle obj) {
    if (PyUnicode_Check(obj.get())) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj.get())) return raise_cannot_cast(obj, "Sequence");
    return true;
}

std::size_t reserve_hint(Handle obj) noexcept {
    // Enough to skip the early regrowths of a large list; past that the
    // vector's geometric growth costs little next to converting each element.
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
    const Py_ssize_t n = PySequence_Size(obj.get());
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(std::min(n, kMaxReserve));
}

}  // namespace detail

bool convert_string(Handle obj, std::string& out) {
    if (!PyUnicode_Check(obj.get())) return raise_cannot_cast(obj, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj.get(), &size);
    if (!data) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_flag(Handle obj, bool& out) {
    if (obj.get() == Py_True || obj.get() == Py_False) {
        out = obj.get() == Py_True;
        return true;
    }
    PyTypeObject* type = obj.type();
    if (!is_numpy_bool(type)) return raise_cannot_cast(obj, "bool");
    inquiry to_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (!to_bool) {
        Object name = type_name(type);
        if (name)
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                         name.get());
        return false;
    }
    const int truth = to_bool(obj.get());
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool convert_float(Handle obj, double& out) {
    if (PyFloat_CheckExact(obj.get())) {
        out = PyFloat_AS_DOUBLE(obj.get());
        return true;
    }
    const double value = PyFloat_AsDouble(obj.get());
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert_optional_float(Handle obj, std::optional<double>& out) {
    if (obj.get() == Py_None) {
        out.reset();
        return true;
    }
    double value = 0.0;
    if (!convert_float(obj, value)) return false;
    out = value;
    return true;
}

bool unpack_triple(Handle obj, std::array<Handle, 3>& out) {
    if (!PyTuple_Check(obj.get())) return raise_cannot_cast(obj, "tuple");
    const Py_ssize_t n = PyTuple_GET_SIZE(obj.get());
    if (n != 3) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd", n);
        return false;
    }
    for (Py_ssize_t i = 0; i < 3; ++i) out[static_cast<std::size_t>(i)] = Handle(PyTuple_GET_ITEM(obj.get(), i));
    return true;
}

bool convert_string_list(Handle obj, std::vector<std::string>& out) {
    return convert_list(obj, out, convert_string);
}

void prefix_argument_error(const char* param) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Object original = fetch_error();
    Object text = Object::steal(PyObject_Str(original.get()));
    if (!text) return;
    Object message = Object::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Object error = Object::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    if (PyObject* cause = PyException_GetCause(original.get()))  // new reference
        PyException_SetCause(error.get(), cause);                   // steals cause
    PyErr_SetObject(PyExc_TypeError, error.get());
}

void raise_unknown_layout(std::string_view name) noexcept {
    try {
        raise_internal_error("Unknown file type: " + std::string(name));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

namespace {

// The UTF-8 form of a path the operating system gave as bytes: the bytes
// themselves when they are UTF-8, else decoded as the file system encoding
// does and shown with backslash escapes. Either way a valid utf8 value.
bool display_of_os_path(const std::string& path, std::string& out) {
    if (textgrid::is_valid_utf8(path)) {
        out = path;
        return true;
    }
    Object text = Object::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!text) return false;
    Object bytes = Object::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

// One path as os.fspath gives it (str or bytes).
bool convert_path(Handle fspath, textgrid::CorpusFile& out) {
    if (PyBytes_Check(fspath.get())) {
        out.path.assign(PyBytes_AS_STRING(fspath.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(fspath.get())));
        return display_of_os_path(out.path, out.display);
    }
    // What open() would do with the str: the file system encoding, with
    // undecodable bytes carried as surrogates.
    Object encoded = Object::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!encoded) return false;
    out.path.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(fspath.get(), &size)) {
        out.display.assign(utf8, static_cast<std::size_t>(size));
        return true;
    }
    PyErr_Clear();  // lone surrogates: shown escaped
    Object bytes = Object::steal(PyUnicode_AsEncodedString(fspath.get(), "utf-8", "backslashreplace"));
    if (!bytes) return false;
    out.display.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

bool is_single_path(Handle obj) {
    return PyUnicode_Check(obj.get()) || PyBytes_Check(obj.get()) ||
           PyObject_HasAttrString(reinterpret_cast<PyObject*>(obj.type()), "__fspath__");
}

// files: a directory or one file (str, bytes, os.PathLike), or an iterable
// of paths. Errors as the other conversions: TypeError (prefixed by the
// caller), OSError for a directory that cannot be listed.
bool convert_files(Handle obj, std::vector<textgrid::CorpusFile>& out) {
    if (is_single_path(obj)) {
        Object fspath = Object::steal(PyOS_FSPath(obj.get()));
        if (!fspath) return false;
        textgrid::CorpusFile given;
        if (!convert_path(fspath, given)) return false;
        if (!textgrid::is_directory(given.path)) {
            out.push_back(std::move(given));
            return true;
        }
        textgrid::Result<std::vector<std::string>> found = [&] {
            WithoutGil unlocked;  // a large tree takes a while to walk
            return textgrid::find_textgrid_files(given.path);
        }();
        if (!found) {
            raise_os_error("Failed to list the TextGrid files in " + given.display +
                           " because: " + found.error().text());
            return false;
        }
        out.reserve(found.value().size());
        for (std::string& path : found.value()) {
            textgrid::CorpusFile file;
            file.path = std::move(path);
            if (!display_of_os_path(file.path, file.display)) return false;
            out.push_back(std::move(file));
        }
        return true;
    }
    Object iter = Object::steal(PyObject_GetIter(obj.get()));
    if (!iter) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        Object name = type_name(obj.type());
        if (name)
            PyErr_Format(PyExc_TypeError, "expected a directory, a file or an iterable of paths, not '%U'",
                         name.get());
        return false;
    }
    out.reserve(detail::reserve_hint(obj));
    while (Object element = Object::steal(PyIter_Next(iter.get()))) {
        Object fspath = Object::steal(PyOS_FSPath(element.get()));
        if (!fspath) return false;
        textgrid::CorpusFile file;
        if (!convert_path(fspath, file)) return false;
        out.push_back(std::move(file));
    }
    return !PyErr_Occurred();
}

bool convert_truth(Handle obj, bool& out) {
    const int truth = PyObject_IsTrue(obj.get());
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

// The stream's file_type: "praat" (left empty) or a layout of the six
// functions.
bool convert_stream_layout(Handle obj, std::optional<textgrid::Layout>& out) {
    std::string name;
    if (!convert_argument("file_type", obj, name, convert_string)) return false;
    if (name == "praat") {
        out.reset();
        return true;
    }
    if (std::optional<textgrid::Layout> layout = textgrid::layout_named(name)) {
        out = *layout;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "file_type must be 'praat', 'long', 'short' or 'auto', not %R", obj.get());
    return false;
}

bool convert_encoding(Handle obj, textgrid::Encoding& out) {
    std::string name;
    if (!convert_argument("encoding", obj, name, convert_string)) return false;
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '_') c = '-';
    }
    if (name == "auto") {
        out = textgrid::Encoding::praat;
        return true;
    }
    if (name == "utf-8" || name == "utf8") {
        out = textgrid::Encoding::utf8;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "encoding must be 'auto' or 'utf-8', not %R", obj.get());
    return false;
}

bool convert_batch_files(Handle obj, std::size_t& out) {
    if (!obj || obj.get() == Py_None) {
        out = 0;
        return true;
    }
    if (!PyLong_Check(obj.get()) || PyBool_Check(obj.get())) {
        Object name = type_name(obj.type());
        if (name) PyErr_Format(PyExc_TypeError, "argument 'batch_files': expected None or an int, not '%U'", name.get());
        return false;
    }
    const int sign = PyObject_RichCompareBool(obj.get(), Py_False, Py_GT);  // Py_False == 0
    if (sign < 0) return false;
    if (sign == 0) {
        PyErr_Format(PyExc_ValueError, "batch_files must be at least 1, not %R", obj.get());
        return false;
    }
    const std::size_t value = PyLong_AsSize_t(obj.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        // More files per batch than there can be files: one batch.
        PyErr_Clear();
        out = std::numeric_limits<std::size_t>::max();
        return true;
    }
    out = value;
    return true;
}

bool convert_row_level(Handle obj, textgrid::RowLevel& out) {
    std::string name;
    if (!convert_argument("rows", obj, name, convert_string)) return false;
    if (name == "items") {
        out = textgrid::RowLevel::items;
    } else if (name == "tiers") {
        out = textgrid::RowLevel::tiers;
    } else if (name == "files") {
        out = textgrid::RowLevel::files;
    } else {
        PyErr_Format(PyExc_ValueError, "rows must be 'items', 'tiers' or 'files', not %R", obj.get());
        return false;
    }
    return true;
}

}  // namespace

bool CorpusArguments::convert(const char* function, const std::array<const char*, 6>& names,
                              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<Handle, 6> bound;
    if (!bind_arguments(function, names, 3, 1, args, nargs, kwnames, bound)) return false;
    // The cheap arguments first: files may be a generator, or a directory
    // to walk, and nothing should be consumed for a call that fails anyway.
        if (bound[1] && !convert_truth(bound[1], options.strict)) return false;
    if (bound[2] && !convert_stream_layout(bound[2], options.layout)) return false;
    if (bound[3] && !convert_encoding(bound[3], options.encoding)) return false;
    if (!convert_batch_files(bound[4], options.batch_files)) return false;
    if (bound[5] && !convert_row_level(bound[5], options.rows)) return false;
    if (!convert_argument(names[0], bound[0], files, convert_files)) return false;
    if (files.size() > std::size_t{std::numeric_limits<std::uint32_t>::max()} + 1) {
        PyErr_SetString(PyExc_ValueError, "more files than 32-bit file ids can tell apart");
        return false;
    }

    return true;
}

Object new_str(std::string_view text) noexcept {
    return Object::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Object new_str_list(const std::vector<std::string>& texts) noexcept {
    Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        Object item = new_str(texts[i]);
        if (!item) return Object();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals item
    }
    return list;
}

StrCache::~StrCache() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.str);
}

namespace {

constexpr std::size_t kPackedMax = 7;  // texts this short are their own key

// The n (up to eight) bytes at p as the low bytes of a word; byte by byte,
// so that nothing past the text is read.
std::uint64_t low_bytes(const char* p, std::size_t n) noexcept {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < n; ++i) word |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    return word;
}

// A text of up to seven bytes as one word: its bytes, its length on top.
std::uint64_t packed(std::string_view text) noexcept {
    return low_bytes(text.data(), text.size()) | std::uint64_t{text.size()} << 56;
}

// A hash of a longer text, eight bytes a step.
std::uint64_t text_hash(std::string_view text) noexcept {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = (h ^ word) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 29;
    }
    return h ^ low_bytes(text.data() + i, text.size() - i);
}

}  // namespace

StrCache::Slot* StrCache::slot_of(std::string_view text, std::uint64_t key) noexcept {
    // Equal keys alone do not make equal texts: a longer text can be made to
    // hash to a short text's packed key. Equal lengths do, for a short text,
    // since its key holds all its bytes.
    const bool is_packed = text.size() <= kPackedMax;
    // The top bits of a multiplicative hash pick the first slot to look at.
    std::size_t i = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
    for (std::size_t probe = 0; probe < kMaxProbes; ++probe, i = (i + 1) & mask_) {
        Slot& slot = slots_[i];
        if (slot.str == nullptr) return &slot;
        if (slot.key == key && slot.size == text.size() &&
            (is_packed || std::memcmp(slot.data, text.data(), text.size()) == 0))
            return &slot;
    }
    return nullptr;
}

void StrCache::grow() {
    const std::size_t count = slots_.empty() ? kFirstSlots : slots_.size() * 2;
    std::vector<Slot> old(count);
    old.swap(slots_);
    mask_ = count - 1;
    shift_ = 64 - std::countr_zero(count);
    for (const Slot& slot : old) {
        if (!slot.str) continue;
        if (Slot* free = slot_of({slot.data, slot.size}, slot.key)) {
            *free = slot;
        } else {  // a run of colliding texts: this one is simply no longer shared
            Py_DECREF(slot.str);
            --entries_;
        }
    }
}

Object StrCache::get(std::string_view text) noexcept {
    if (bypass_ || text.size() > kMaxLength) return new_str(text);
    if (++lookups_ == kTrialLookups && hits_ * 4 < lookups_) bypass_ = true;
    // At most half full, so that probes stay short.
    if (2 * (entries_ + 1) > slots_.size() && entries_ < kMaxEntries) {
        try {
            grow();
        } catch (const std::bad_alloc&) {
            return new_str(text);  // the cache is an optimisation: go on without it
        }
    }
    if (slots_.empty()) return new_str(text);
    const std::uint64_t key = text.size() <= kPackedMax ? packed(text) : text_hash(text);
    Slot* slot = slot_of(text, key);
    if (!slot) return new_str(text);
    if (slot->str) {
        ++hits_;
        return Object::borrow(slot->str);
    }
    Object str = new_str(text);
    if (str && entries_ < kMaxEntries) {
        *slot = Slot{key, text.data(), text.size(), Object::borrow(str.get()).release()};
        ++entries_;
    }
    return str;
}

Object new_shared_str_list(const std::vector<std::string>& texts) noexcept {
    Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return list;
    StrCache cache;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (signals_raised_at(i)) return Object();
        Object item = cache.get(texts[i]);
        if (!item) return Object();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals item
    }
    return list;
}

Object type_name(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return Object::steal(PyType_GetName(type));
#else
    // What type.__name__ does: the heap type's own name, or a static type's
    // tp_name after its last dot.
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE)
        return Object::borrow(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
    const char* name = std::strrchr(type->tp_name, '.');
    return Object::steal(PyUnicode_FromString(name ? name + 1 : type->tp_name));
#endif
}

}  // namespace orvex
