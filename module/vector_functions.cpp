// textgrid2vectors and textgrids2vectors: TextGrid files as parallel columns.
//
// The number and flag columns reach Python without a copy: each core buffer
// is taken over by a PySliceContainer, a NumPy array points into it and
// holds the container as its base. Only the string columns are copied.

#include <array>
#include <cstdint>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/functions.h"
#include "module/module.h"
#include "module/numpy_api.h"
#include "module/slice_container.h"
#include "textgrid/base/column.h"
#include "textgrid/model/converter.h"
#include "textgrid/corpus/batch.h"

namespace orvex {

namespace {

PyDoc_STRVAR(textgrid2vectors__doc__,
             "textgrid2vectors(file, strict, file_type)\n"
             "--\n"
             "\n"
             "Converts a single TextGrid file to vectorized format.\n"
             "\n"
             "Reads the file and converts it into NumPy arrays and lists, one row per\n"
             "interval or point, a form meant for data analysis and machine learning.\n"
             "\n"
             "Arguments:\n"
             "    file: Path of the TextGrid file to read.\n"
             "    strict: True to enforce strict parsing rules, False to allow more\n"
             "        lenient parsing.\n"
             "    file_type: \"long\" or \"short\".\n"
             "\n"
             "Returns:\n"
             "    A tuple of five columns:\n"
             "    tmins: Start times of all intervals and points (NumPy array, handed\n"
             "        over without copying).\n"
             "    tmaxs: End times of all intervals and points (NumPy array, handed over\n"
             "        without copying).\n"
             "    labels: Labels (Python list, made by copying).\n"
             "    tier_names: Tier name of each row (Python list, made by copying).\n"
             "    is_intervals: True for the rows of interval tiers (NumPy array, handed\n"
             "        over without copying).\n"
             "\n"
             "Errors:\n"
             "    IOError: The file cannot be read or parsed.");

PyDoc_STRVAR(textgrids2vectors__doc__,
             "textgrids2vectors(files, strict, file_type)\n"
             "--\n"
             "\n"
             "Converts multiple TextGrid files to vectorized format with file tracking.\n"
             "\n"
             "Processes several files as one batch and joins them into one set of\n"
             "columns, with an extra array of file ids that tells which file each row\n"
             "came from; useful for bulk analysis and for comparing recordings.\n"
             "\n"
             "Arguments:\n"
             "    files: List of file paths to process.\n"
             "    strict: As for textgrid2vectors.\n"
             "    file_type: As for textgrid2vectors.\n"
             "\n"
             "Returns:\n"
             "    A tuple of six columns:\n"
             "    tmins, tmaxs, labels, tier_names, is_intervals: The matching columns of\n"
             "        all files, concatenated in the order of files.\n"
             "    file_ids: The position in files, counted from 0, of the file each row\n"
             "        came from (NumPy array, handed over without copying).");

constexpr std::array<const char*, 3> textgrid2vectors_params = {"file", "strict", "file_type"};
constexpr std::array<const char*, 3> textgrids2vectors_params = {"files", "strict", "file_type"};

// "{type name}: {str(exception)}" of the pending Python error, which is
// cleared; what the internal-failure message carries after its fixed
// beginning.
std::string take_error_description() {
    Object exc = fetch_error();
    if (!exc) return "unknown error";
    return describe_error(exc);
}

// Replaces the pending Python error by the internal-failure exception
// "{what}: {description of that error}".
void raise_internal_error_from_pending(const char* what) {
    raise_internal_error(std::string(what) + ": " + take_error_description());
}

// Hands one number or flag column to NumPy: the owner takes the buffer
// over, then the array is made over that very address and given the owner
// as its base. Returns the array (new reference), or empty with the
// internal-failure exception set; the buffer is freed either way when the
// array is not made (by the column before the hand-over, by the owner
// after it).
template <class T>
Object hand_over(textgrid::Column<T>& column, int type_num) {
    switch (numpy::load()) {
    case numpy::Load::ready:
        break;
    case numpy::Load::unavailable:
        raise_internal_error_from_pending("Failed to access NumPy array API capsule");
        return Object();
    case numpy::Load::raised:
        return Object();
    }
    const std::size_t n = column.size();
    Object owner = Object::steal(new_slice_container(column));
    if (!owner) {
        raise_internal_error_from_pending("Failed to create slice container");
        return Object();
    }
    Object array = Object::steal(numpy::new_vector(type_num, n, sizeof(T), slice_container_data(owner.get())));
    if (!array) {
        raise_internal_error_from_pending("Failed to create NumPy array");
        return Object();
    }
    if (numpy::set_base_object(array.get(), owner.release()) != 0) {  // steals, even on failure
        raise_internal_error_from_pending("Failed to create NumPy array");
        return Object();
    }
    return array;
}

// The tier-name column as a list with one entry per row; the rows of one
// run share a single str object (new reference, or empty with the Python
// error set).
Object new_tier_name_list(const std::vector<textgrid::TierNameRun>& runs, std::size_t rows) {
    Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!list) return list;
    std::size_t row = 0;
    for (const textgrid::TierNameRun& run : runs) {
        if (run.rows > rows - row) break;
        Object name = new_str(run.name);
        if (!name) return Object();
        for (std::size_t i = 0; i < run.rows; ++i, ++row) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), Object::borrow(name).release());  // steals
        }
    }
    // A short list would hand Python null entries.
    if (row != rows) throw std::logic_error("tier name runs do not cover the rows");
    return list;
}

// A new tuple that takes over the given parts, or empty with the Python
// error set when a part is empty or the tuple cannot be made.
template <std::size_t N>
Object new_tuple(std::array<Object, N>& parts) {
    for (const Object& part : parts)
        if (!part) return Object();
    Object tuple = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
    if (!tuple) return tuple;
    for (std::size_t i = 0; i < N; ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), parts[i].release());  // steals
    return tuple;
}

struct JoinedVectors {
    textgrid::TextGridVectors columns;
    textgrid::Column<std::uint32_t> file_ids;
};

// Appends every entry's rows in order, each column as one block, and frees
// each entry as soon as it is appended. An entry without rows still uses up
// its position k in the file ids.
JoinedVectors join(std::vector<textgrid::TextGridVectors>& batch) {
    if (batch.size() > std::size_t{std::numeric_limits<std::uint32_t>::max()} + 1)
        throw std::length_error("more files than 32-bit file ids can tell apart");
    std::size_t rows = 0;
    std::size_t runs = 0;
    for (const textgrid::TextGridVectors& entry : batch) {
        rows += entry.rows();
        runs += entry.tier_names.size();
    }
    JoinedVectors out;
    textgrid::TextGridVectors& cols = out.columns;
    // Every block then fits: the columns are sized once and hold no slack.
    cols.tmins.reserve(rows);
    cols.tmaxs.reserve(rows);
    cols.is_intervals.reserve(rows);
    cols.labels.reserve(rows);
    cols.tier_names.reserve(runs);
    out.file_ids.reserve(rows);

    for (std::size_t k = 0; k < batch.size(); ++k) {
        textgrid::TextGridVectors& entry = batch[k];
        out.file_ids.append_copies(static_cast<std::uint32_t>(k), entry.rows());
        cols.tmins.append(entry.tmins);
        cols.tmaxs.append(entry.tmaxs);
        cols.is_intervals.append(entry.is_intervals);
        cols.labels.insert(cols.labels.end(), std::make_move_iterator(entry.labels.begin()),
                           std::make_move_iterator(entry.labels.end()));
        cols.tier_names.insert(cols.tier_names.end(), std::make_move_iterator(entry.tier_names.begin()),
                               std::make_move_iterator(entry.tier_names.end()));
        entry = {};
    }
    return out;
}

Object textgrid2vectors_impl(const std::string& file, bool strict, textgrid::Layout layout) {
    std::optional<textgrid::TextGridVectors> read = read_and_convert(file, strict, layout, textgrid::to_vectors);
    if (!read) return Object();
    textgrid::TextGridVectors& vectors = *read;
    const std::size_t rows = vectors.rows();
    std::array<Object, 5> parts;
    if (!(parts[0] = hand_over(vectors.tmins, numpy::kDouble))) return Object();
    if (!(parts[1] = hand_over(vectors.tmaxs, numpy::kDouble))) return Object();
    if (!(parts[4] = hand_over(vectors.is_intervals, numpy::kBool))) return Object();
    if (!(parts[2] = new_shared_str_list(vectors.labels))) return Object();
    vectors.labels = {};
    if (!(parts[3] = new_tier_name_list(vectors.tier_names, rows))) return Object();
    return new_tuple(parts);
}

Object textgrids2vectors_impl(std::vector<std::string> files, bool strict, textgrid::Layout layout) {
    std::vector<textgrid::TextGridVectors> batch = textgrid::files_to_vectors(files, strict, layout);
    JoinedVectors joined = join(batch);
    std::vector<textgrid::TextGridVectors>().swap(batch);
    files = {};
    textgrid::TextGridVectors& cols = joined.columns;
    const std::size_t rows = cols.rows();
    std::array<Object, 6> parts;
    if (!(parts[0] = hand_over(cols.tmins, numpy::kDouble))) return Object();
    if (!(parts[1] = hand_over(cols.tmaxs, numpy::kDouble))) return Object();
    if (!(parts[4] = hand_over(cols.is_intervals, numpy::kBool))) return Object();
    if (!(parts[5] = hand_over(joined.file_ids, numpy::kUInt))) return Object();
    if (!(parts[2] = new_shared_str_list(cols.labels))) return Object();
    cols.labels = {};
    if (!(parts[3] = new_tier_name_list(cols.tier_names, rows))) return Object();
    return new_tuple(parts);
}

PyObject* textgrid2vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        ReadArguments<std::string> a;
        if (!a.convert("textgrid2vectors", textgrid2vectors_params, args, nargs, kwnames)) return nullptr;
        return textgrid2vectors_impl(a.paths, a.strict, a.layout).release();
    });
}

PyObject* textgrids2vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        ReadArguments<std::vector<std::string>> a;
        if (!a.convert("textgrids2vectors", textgrids2vectors_params, args, nargs, kwnames)) return nullptr;
        return textgrids2vectors_impl(std::move(a.paths), a.strict, a.layout).release();
    });
}

}  // namespace

PyMethodDef textgrid2vectors_def = {"textgrid2vectors", as_method(textgrid2vectors), METH_FASTCALL | METH_KEYWORDS,
                                    textgrid2vectors__doc__};
PyMethodDef textgrids2vectors_def = {"textgrids2vectors", as_method(textgrids2vectors),
                                     METH_FASTCALL | METH_KEYWORDS, textgrids2vectors__doc__};

}  // namespace orvex
