// textgrids2arrow and the stream type it returns: a corpus of TextGrid files
// as Arrow record batches, handed to pyarrow, polars, DuckDB and the like
// through the Arrow PyCapsule interface (__arrow_c_stream__,
// __arrow_c_schema__).
//
// The reading lives in the core library (textgrid/corpus_reader.h) and never
// touches Python; this side binds the arguments, owns the Python object,
// turns failures into Python tuples when asked, and lets the consumer's
// Ctrl-C reach the reader. Everything here needs the interpreter lock.
#pragma once

#include "module/py_object.h"

namespace orvex {

// The stream type, created on first call and kept for the whole process
// (borrowed reference), or null with the Python error set.
PyTypeObject* text_grid_stream_type() noexcept;

}  // namespace orvex
