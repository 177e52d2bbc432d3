// The few entries of NumPy's C API table that the vector functions use.
//
// The module is built without NumPy's headers and imports without NumPy:
// the table is looked up at run time, the first time an array is made, and
// kept for the rest of the process. The entries are declared here by their
// fixed positions in the table; the version checks that NumPy's own
// import_array() performs guard against a NumPy whose table differs.
// Every function here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>

namespace orvex::numpy {

// NumPy's type numbers (stable across the 1.x and 2.x series).
inline constexpr int kBool = 0;    // NPY_BOOL, one byte 0 / 1
inline constexpr int kUInt = 6;    // NPY_UINT, C unsigned int: 32 bits here
inline constexpr int kDouble = 12; // NPY_DOUBLE

enum class Load {
    ready,        // the table is there
    unavailable,  // NumPy is missing or unusable; the exception says why
    raised,       // something else raised on the way (an interrupt): let it through
};

// Loads the table once per process. unavailable comes with ImportError or
// AttributeError (NumPy, a part of it or the table is missing) or
// RuntimeError (a table this module cannot use) set. Any other exception
// met on the way (KeyboardInterrupt while NumPy is imported, MemoryError,
// whatever a signal handler raised) is no verdict on NumPy: raised, with
// that exception left as it is. A failed load is tried again by the next
// call. Safe to run on several threads at once: each loads the same table,
// which is published only once it passed every check. Never throws.
Load load();

// A new one-dimensional, writeable array of n elements of the given type
// over data, with a stride of itemsize bytes; the array does not own data.
// Requires a successful load(). Returns a new reference, or NULL with a
// Python exception set.
PyObject* new_vector(int type_num, std::size_t n, std::size_t itemsize, void* data);

// Makes base the array's base object. Steals the reference to base even
// when it fails. Returns 0, or -1 with a Python exception set.
int set_base_object(PyObject* array, PyObject* base);

}  // namespace orvex::numpy
