// Binding of Python call arguments and their conversion into plain values.
//
// Every function of the module has only positional-or-keyword parameters,
// all required, and takes the METH_FASTCALL | METH_KEYWORDS convention. The
// binder reports problems in the interpreter's own words, so that a call of
// an orvex function fails exactly as a call of `def f(a, b, c)` would.
//
// Contract shared by every function here: true on success; false with a
// Python exception set, the output then being unspecified. They need the
// interpreter lock. Nothing throws except std::bad_alloc from growing a
// std::string or std::vector, which the entry point's guard turns into
// MemoryError.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "module/py_object.h"
#include "textgrid/corpus/corpus_reader.h"
#include "textgrid/layout/read.h"

namespace orvex {

// ---- binding -------------------------------------------------------------

namespace detail {
// The shape of a signature: names[0, required) have no default,
// names[0, positional) may be given by position, the rest only by keyword.
struct Parameters {
    const char* const* names;
    std::size_t count;
    std::size_t positional;
    std::size_t required;
};
bool bind_arguments(const char* function, const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Handle* out);
bool bind_arguments(const char* function, const char* const* names, std::size_t count, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, Handle* out);
}  // namespace detail

// Fills out[i] with a borrowed reference to the value of parameter names[i],
// from the positional arguments first and then from the keywords. Fails
// with TypeError for too many positional arguments, an unknown keyword, a
// parameter given twice, or missing parameters.
template <std::size_t N>
bool bind_arguments(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::array<Handle, N>& out) {
    return detail::bind_arguments(function, names.data(), N, args, nargs, kwnames, out.data());
}

// bind_arguments for a signature with defaults and keyword-only parameters:
// the first `required` names have no default, the first `positional` may be
// given by position. out[i] stays empty for a parameter left to its
// default. The errors are those CPython raises for the same `def`.
template <std::size_t N>
bool bind_arguments(const char* function, const std::array<const char*, N>& names, std::size_t positional,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::array<Handle, N>& out) {
    return detail::bind_arguments(function, detail::Parameters{names.data(), N, positional, required}, args, nargs,
                                  kwnames, out.data());
}

// For the module's own long loops over rows or elements: on every 65536th
// step, runs the interpreter's signal handlers. True, with their exception
// set (KeyboardInterrupt on Ctrl-C), when the call must stop.
inline bool signals_raised_at(std::size_t step) noexcept {
    return (step & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() < 0;
}

// ---- conversions of single values ------------------------------------------
// Errors are reported without naming the parameter; convert_argument adds
// that.

// A str or str subclass, as UTF-8. TypeError for any other type (bytes and
// path objects included); UnicodeEncodeError for lone surrogates.
bool convert_string(Handle obj, std::string& out);

// True or False, or a NumPy boolean scalar (recognised by its type's name,
// without importing NumPy). TypeError for anything else, 0 and 1 included.
bool convert_flag(Handle obj, bool& out);

// A float, or anything the interpreter converts to one (int, __float__,
// __index__, NumPy scalars); the interpreter's error otherwise.
bool convert_float(Handle obj, double& out);

// None gives no value; anything else as convert_float.
bool convert_optional_float(Handle obj, std::optional<double>& out);

// A tuple or tuple subclass of exactly three elements; out receives borrowed
// references to them. TypeError for other types (lists included),
// ValueError for another length.
bool unpack_triple(Handle obj, std::array<Handle, 3>& out);

namespace detail {
// Refuses str and non-sequences with the list conversion's TypeError.
bool check_list(Handle obj);
// A capacity worth reserving for obj's elements: its reported length, capped
// so that a length that lies cannot make us allocate wildly; 0 when the
// length cannot be read (its error is cleared).
std::size_t reserve_hint(Handle obj) noexcept;
}  // namespace detail

// Any sequence but a str (list, tuple, range, one-dimensional NumPy array,
// ...), taken by iteration; convert(Handle element, T& value) -> bool turns
// each element into a T. The first element that fails ends the conversion
// with its own error. out is replaced, not appended to.
template <class T, class Convert>
bool convert_list(Handle obj, std::vector<T>& out, Convert&& convert) {
    if (!detail::check_list(obj)) return false;
    out.clear();
    out.reserve(detail::reserve_hint(obj));
    Object iter = Object::steal(PyObject_GetIter(obj.get()));
    if (!iter) return false;
    for (std::size_t i = 0; Object element = Object::steal(PyIter_Next(iter.get())); ++i) {
        if (signals_raised_at(i)) return false;
        T value{};
        if (!convert(element.handle(), value)) return false;
        out.push_back(std::move(value));
    }
    return !PyErr_Occurred();
}

bool convert_string_list(Handle obj, std::vector<std::string>& out);

// ---- arguments ---------------------------------------------------------------

// Turns a pending TypeError into TypeError("argument '{param}': {message}")
// that takes over the original's __cause__; any other pending error is left
// as it is.
void prefix_argument_error(const char* param) noexcept;

// Converts the value of one parameter; on failure the error names the
// parameter as prefix_argument_error describes.
template <class T, class Convert>
bool convert_argument(const char* param, Handle obj, T& out, Convert&& convert) {
    if (convert(obj, out)) return true;
    prefix_argument_error(param);
    return false;
}

// The internal-failure exception "Unknown file type: {name}": how the
// reading functions refuse a layout name, once they are about to read a
// file.
void raise_unknown_layout(std::string_view name) noexcept;

// The arguments of every reading function: a path (std::string) or a list of
// paths (std::vector<std::string>), the strict flag and the layout name,
// bound and converted in that order. A name that names no layout fails only
// when there is a file to read (raise_unknown_layout): an empty list reads
// nothing, so it is refused by nothing.
template <class Paths>
struct ReadArguments {
    Paths paths;
    bool strict = false;
    textgrid::Layout layout = textgrid::Layout::auto_;

    bool convert(const char* function, const std::array<const char*, 3>& names, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
        std::array<Handle, 3> bound;
        if (!bind_arguments(function, names, args, nargs, kwnames, bound)) return false;
        bool paths_ok;
        if constexpr (std::is_same_v<Paths, std::string>) {
            paths_ok = convert_argument(names[0], bound[0], paths, convert_string);
        } else {
            paths_ok = convert_argument(names[0], bound[0], paths, convert_string_list);
        }
        std::string name;
        if (!paths_ok || !convert_argument(names[1], bound[1], strict, convert_flag) ||
            !convert_argument(names[2], bound[2], name, convert_string))
            return false;
        if (std::optional<textgrid::Layout> named = textgrid::layout_named(name)) {
            layout = *named;
        } else if (!paths.empty()) {
            raise_unknown_layout(name);
            return false;
        }
        return true;
    }
};

// The arguments of textgrids2arrow: (files, strict=False, file_type="praat",
// *, encoding="auto", batch_files=None, rows="items"). files is a directory (every
// TextGrid below it, walked without the interpreter lock), one file, or an
// iterable of paths (str, bytes, os.PathLike); strict is taken by truth.
// The other arguments are converted first: files may be a generator or a
// directory to walk, and nothing should be consumed for a call that fails
// anyway. ValueError for a layout, encoding or row level name that names
// none, a batch_files below 1, or more files than 32-bit file ids tell apart;
// OSError for a directory that cannot be listed.
struct CorpusArguments {
    std::vector<textgrid::CorpusFile> files;
    textgrid::CorpusOptions options;

    bool convert(const char* function, const std::array<const char*, 6>& names, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames);
};

// ---- conversions to Python ---------------------------------------------------

// A new str from UTF-8 text (new reference); empty with UnicodeDecodeError
// set for text that is not UTF-8.
Object new_str(std::string_view text) noexcept;

// A new list of new str objects, created at its final length (new
// reference); empty with the Python error set on failure.
Object new_str_list(const std::vector<std::string>& texts) noexcept;

// Hands out one str object per distinct short text, so that the thousands
// of rows that carry the same phone or word share a single object: the
// lookup costs less than creating the str, and the result stays small.
// Long texts, and new texts once the cache is full, get a str of their own;
// when few texts repeat (under one in four after a few thousand), the cache
// steps aside so that distinct labels pay for no lookups.
// Needs the interpreter lock; the texts must outlive the cache.
class StrCache {
public:
    StrCache() = default;
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;
    ~StrCache();

    // A new reference to a str equal to text; empty with the error set.
    Object get(std::string_view text) noexcept;

private:
    // An open-addressed table rather than std::unordered_map: a lookup runs
    // for every label of a grid, and a general map's hashing and nodes cost
    // more than the str the cache saves. A text of up to seven bytes is its
    // own key (its bytes and length in one word), so that the phones and
    // short words most labels are compare as one integer.
    struct Slot {
        std::uint64_t key = 0;       // the packed text, or the hash of a longer one
        const char* data = nullptr;  // a longer text's bytes
        std::size_t size = 0;
        PyObject* str = nullptr;     // holds one reference; null: free
    };
    static constexpr std::size_t kMaxEntries = 1 << 14;
    static constexpr std::size_t kMaxLength = 64;
    static constexpr std::size_t kTrialLookups = 4096;
    static constexpr std::size_t kFirstSlots = 256;
    // Half full, a fair hash leaves runs of a few slots; texts crafted to
    // share a key make longer ones, and past this many they go unshared, so
    // that they cannot make each lookup walk the whole table.
    static constexpr std::size_t kMaxProbes = 32;
    // The slot holding text, or the free slot for it; null when the first
    // kMaxProbes slots looked at hold other texts.
    Slot* slot_of(std::string_view text, std::uint64_t key) noexcept;
    // Doubles the table, up to twice kMaxEntries slots. Throws bad_alloc.
    void grow();
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t entries_ = 0;
    std::size_t lookups_ = 0;
    std::size_t hits_ = 0;
    bool bypass_ = false;
};

// new_str_list with equal texts sharing one str object (StrCache).
Object new_shared_str_list(const std::vector<std::string>& texts) noexcept;

// The type's name as type(obj).__name__ gives it (new reference).
Object type_name(PyTypeObject* type) noexcept;

}  // namespace orvex
