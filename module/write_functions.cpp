// data2textgrid and vectors2textgrid: TextGrid files from Python values.
//
// Every argument is converted before anything is built, and the TextGrid is
// built and validated before the file is touched, so a failure at either
// step leaves the file system as it was.

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/functions.h"
#include "module/module.h"
#include "textgrid/model/converter.h"
#include "textgrid/model/textgrid.h"

namespace orvex {

namespace {

PyDoc_STRVAR(data2textgrid__doc__,
             "data2textgrid(data, tmin, tmax, output_file, file_type)\n"
             "--\n"
             "\n"
             "Creates a TextGrid file from structured data format.\n"
             "\n"
             "Writes hierarchical tier data to a TextGrid file in the long or the short\n"
             "format. The global time bounds can be given, or are calculated from the\n"
             "data.\n"
             "\n"
             "Arguments:\n"
             "    data: List of tiers (tier name, is_interval, items), items being a list\n"
             "        of (tmin, tmax, label).\n"
             "    tmin: Global start time, or None to calculate it from the data.\n"
             "    tmax: Global end time, or None to calculate it from the data.\n"
             "    output_file: Path where the TextGrid file is saved.\n"
             "    file_type: \"long\" for the long format, anything else for the short\n"
             "        format.\n"
             "\n"
             "Returns:\n"
             "    None on success.\n"
             "\n"
             "Errors:\n"
             "    IOError: The TextGrid cannot be created or saved.\n"
             "\n"
             "Conversions:\n"
             "    Python lists, tuples, strings, floats and booleans become the matching\n"
             "    lists, tuples, strings, 64-bit floats and flags; None becomes an absent\n"
             "    value.");

PyDoc_STRVAR(vectors2textgrid__doc__,
             "vectors2textgrid(tmins, tmaxs, labels, tier_names, is_intervals, tmin, tmax, output_file, file_type)\n"
             "--\n"
             "\n"
             "Creates a TextGrid file from vectorized format.\n"
             "\n"
             "Turns parallel vectors back into a TextGrid file: the inverse of\n"
             "textgrid2vectors, for pipelines that work on vectors and arrays.\n"
             "\n"
             "Arguments:\n"
             "    tmins: Start times of all intervals and points.\n"
             "    tmaxs: End times of all intervals and points.\n"
             "    labels: Labels of all intervals and points.\n"
             "    tier_names: Tier name of each row; it decides the grouping into tiers.\n"
             "    is_intervals: True for the rows of interval tiers, False for points.\n"
             "    tmin: Global start time, or None to calculate it from the data.\n"
             "    tmax: Global end time, or None to calculate it from the data.\n"
             "    output_file: Path where the TextGrid file is saved.\n"
             "    file_type: \"long\" for the long format, anything else for the short\n"
             "        format.\n"
             "\n"
             "Returns:\n"
             "    None on success.\n"
             "\n"
             "Errors:\n"
             "    IOError: The vectors are inconsistent or the file cannot be saved.\n"
             "\n"
             "Conversions:\n"
             "    Lists of floats, strings and booleans become columns of 64-bit floats,\n"
             "    strings and flags; None becomes an absent value, and a float a 64-bit\n"
             "    float for tmin and tmax.\n"
             "\n"
             "Notes:\n"
             "    All vectors must have the same length. Items with the same tier name are\n"
             "    grouped into the same tier of the output file.");

constexpr std::array<const char*, 5> data2textgrid_params = {"data", "tmin", "tmax", "output_file", "file_type"};
constexpr std::array<const char*, 9> vectors2textgrid_params = {
    "tmins", "tmaxs", "labels", "tier_names", "is_intervals", "tmin", "tmax", "output_file", "file_type"};

bool convert_item(Handle obj, textgrid::ItemData& item) {
    std::array<Handle, 3> parts;
    return unpack_triple(obj, parts) && convert_float(parts[0], item.tmin) && convert_float(parts[1], item.tmax) &&
           convert_string(parts[2], item.label);
}

bool convert_tier(Handle obj, textgrid::TierData& tier) {
    std::array<Handle, 3> parts;
    return unpack_triple(obj, parts) && convert_string(parts[0], tier.name) &&
           convert_flag(parts[1], tier.is_interval) && convert_list(parts[2], tier.items, convert_item);
}

bool convert_tiers(Handle obj, std::vector<textgrid::TierData>& tiers) { return convert_list(obj, tiers, convert_tier); }

bool convert_floats(Handle obj, std::vector<double>& out) { return convert_list(obj, out, convert_float); }

bool convert_flags(Handle obj, std::vector<bool>& out) { return convert_list(obj, out, convert_flag); }

// The name both functions give the grid; no layout writes it.
const char* const kGridName = "TextGrid";

// Saves a built TextGrid and gives the function's result: None, or empty
// with OSError set when the grid could not be built or the file written.
Object save(textgrid::Result<textgrid::TextGrid> built, const std::string& output_file, bool long_layout) {
    if (!built) {
        raise_create_error(built.error());
        return Object();
    }
    const textgrid::TextGrid grid = std::move(built).value();
    if (auto st = grid.save_textgrid(output_file, long_layout); !st) {
        raise_os_error("Failed to save TextGrid file " + output_file + " because: " + st.error().text());
        return Object();
    }
    return Object::borrow(Py_None);
}

// The layout both functions write: "long" names the long one, any other
// text the short.
bool is_long_layout(const std::string& file_type) { return file_type == "long"; }

Object data2textgrid_impl(std::vector<textgrid::TierData> data, std::optional<double> tmin,
                          std::optional<double> tmax, const std::string& output_file, bool long_layout) {
    return save(textgrid::from_data(std::move(data), std::string(kGridName), tmin, tmax), output_file, long_layout);
}

Object vectors2textgrid_impl(std::vector<double> tmins, std::vector<double> tmaxs, std::vector<std::string> labels,
                             std::vector<std::string> tier_names, std::vector<bool> is_intervals,
                             std::optional<double> tmin, std::optional<double> tmax, const std::string& output_file,
                             bool long_layout) {
    return save(textgrid::from_vectors(std::move(tmins), std::move(tmaxs), std::move(labels), std::move(tier_names),
                                       std::move(is_intervals), tmin, tmax, std::string(kGridName)),
                output_file, long_layout);
}

PyObject* data2textgrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        std::array<Handle, 5> bound;
        if (!bind_arguments("data2textgrid", data2textgrid_params, args, nargs, kwnames, bound)) return nullptr;
        std::vector<textgrid::TierData> data;
        std::optional<double> tmin;
        std::optional<double> tmax;
        std::string output_file;
        std::string file_type;
        if (!convert_argument("data", bound[0], data, convert_tiers) ||
            !convert_argument("tmin", bound[1], tmin, convert_optional_float) ||
            !convert_argument("tmax", bound[2], tmax, convert_optional_float) ||
            !convert_argument("output_file", bound[3], output_file, convert_string) ||
            !convert_argument("file_type", bound[4], file_type, convert_string))
            return nullptr;
        return data2textgrid_impl(std::move(data), tmin, tmax, output_file, is_long_layout(file_type)).release();
    });
}

PyObject* vectors2textgrid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        std::array<Handle, 9> bound;
        if (!bind_arguments("vectors2textgrid", vectors2textgrid_params, args, nargs, kwnames, bound))
            return nullptr;
        std::vector<double> tmins;
        std::vector<double> tmaxs;
        std::vector<std::string> labels;
        std::vector<std::string> tier_names;
        std::vector<bool> is_intervals;
        std::optional<double> tmin;
        std::optional<double> tmax;
        std::string output_file;
        std::string file_type;
        if (!convert_argument("tmins", bound[0], tmins, convert_floats) ||
            !convert_argument("tmaxs", bound[1], tmaxs, convert_floats) ||
            !convert_argument("labels", bound[2], labels, convert_string_list) ||
            !convert_argument("tier_names", bound[3], tier_names, convert_string_list) ||
            !convert_argument("is_intervals", bound[4], is_intervals, convert_flags) ||
            !convert_argument("tmin", bound[5], tmin, convert_optional_float) ||
            !convert_argument("tmax", bound[6], tmax, convert_optional_float) ||
            !convert_argument("output_file", bound[7], output_file, convert_string) ||
            !convert_argument("file_type", bound[8], file_type, convert_string))
            return nullptr;
        return vectors2textgrid_impl(std::move(tmins), std::move(tmaxs), std::move(labels), std::move(tier_names),
                                     std::move(is_intervals), tmin, tmax, output_file, is_long_layout(file_type))
            .release();
    });
}

}  // namespace

PyMethodDef data2textgrid_def = {"data2textgrid", as_method(data2textgrid), METH_FASTCALL | METH_KEYWORDS,
                                 data2textgrid__doc__};
PyMethodDef vectors2textgrid_def = {"vectors2textgrid", as_method(vectors2textgrid), METH_FASTCALL | METH_KEYWORDS,
                                    vectors2textgrid__doc__};

}  // namespace orvex
