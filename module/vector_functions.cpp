// textgrid2vectors and textgrids2vectors: TextGrid files as parallel columns.
//
// For now the arguments are bound and converted in full and the work itself
// raises the internal-failure exception.

#include <array>
#include <string>
#include <vector>

#include "module/args.h"
#include "module/functions.h"
#include "module/module.h"

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

PyObject* textgrid2vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        std::array<Handle, 3> bound;
        if (!bind_arguments("textgrid2vectors", textgrid2vectors_params, args, nargs, kwnames, bound))
            return nullptr;
        std::string file;
        bool strict = false;
        std::string file_type;
        if (!convert_argument("file", bound[0], file, convert_string) ||
            !convert_argument("strict", bound[1], strict, convert_flag) ||
            !convert_argument("file_type", bound[2], file_type, convert_string))
            return nullptr;
        raise_internal_error("not implemented yet");
        return nullptr;
    });
}

PyObject* textgrids2vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        std::array<Handle, 3> bound;
        if (!bind_arguments("textgrids2vectors", textgrids2vectors_params, args, nargs, kwnames, bound))
            return nullptr;
        std::vector<std::string> files;
        bool strict = false;
        std::string file_type;
        if (!convert_argument("files", bound[0], files, convert_string_list) ||
            !convert_argument("strict", bound[1], strict, convert_flag) ||
            !convert_argument("file_type", bound[2], file_type, convert_string))
            return nullptr;
        raise_internal_error("not implemented yet");
        return nullptr;
    });
}

}  // namespace

PyMethodDef textgrid2vectors_def = {"textgrid2vectors", as_method(textgrid2vectors), METH_FASTCALL | METH_KEYWORDS,
                                    textgrid2vectors__doc__};
PyMethodDef textgrids2vectors_def = {"textgrids2vectors", as_method(textgrids2vectors),
                                     METH_FASTCALL | METH_KEYWORDS, textgrids2vectors__doc__};

}  // namespace orvex
