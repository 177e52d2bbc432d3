// The method definitions of the module's functions, each defined in the
// file of its function (data_functions.cpp, vector_functions.cpp,
// write_functions.cpp, arrow_stream.cpp) next to its docstring. module.cpp registers them in
// the order listed here, which is also the order of __all__.
//
// Each uses METH_FASTCALL | METH_KEYWORDS, binds and converts its arguments
// with args.h and runs its work through guard() (errors.h). The definitions
// must stay alive for the whole process: the function objects point into
// them.
#pragma once

#include "module/py_object.h"

namespace orvex {

extern PyMethodDef textgrid2vectors_def;
extern PyMethodDef textgrids2vectors_def;
extern PyMethodDef textgrid2data_def;
extern PyMethodDef textgrids2data_def;
extern PyMethodDef data2textgrid_def;
extern PyMethodDef vectors2textgrid_def;
extern PyMethodDef textgrids2arrow_def;
// Private helpers: on the module, not in __all__.
extern PyMethodDef read_praat_def;

// The signature every entry point has under METH_FASTCALL | METH_KEYWORDS.
using FastCallKeywords = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// PyMethodDef stores every function as a PyCFunction; the flags tell the
// interpreter the real signature. The detour through void(*)() is the
// conventional way to say the cast is intended.
inline PyCFunction as_method(FastCallKeywords fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace orvex
