#include "module/numpy_api.h"

#include <atomic>

#include "module/py_object.h"

namespace orvex::numpy {

namespace {

// What this module was written against: NumPy 2's ABI, and C-API features
// no newer than NumPy 1.23's, so that 1.23 to 1.26 serve as well as 2.x.
// These play the parts of NPY_ABI_VERSION and NPY_FEATURE_VERSION (with
// NPY_TARGET_VERSION = NPY_1_23_API_VERSION) in import_array().
constexpr unsigned int kAbiVersion = 0x02000000;
constexpr unsigned int kFeatureVersion = 0x00000010;
// NPY_CPU_LITTLE / NPY_CPU_BIG as PyArray_GetEndianness reports them.
constexpr int kCpuEndianness = PY_LITTLE_ENDIAN ? 1 : 2;

constexpr int kArrayWriteable = 0x0400;  // NPY_ARRAY_WRITEABLE

// Positions in the table.
constexpr std::size_t kGetNDArrayCVersion = 0;
constexpr std::size_t kArrayType = 2;
constexpr std::size_t kDescrFromType = 45;
constexpr std::size_t kNewFromDescr = 94;
constexpr std::size_t kGetEndianness = 210;
constexpr std::size_t kGetNDArrayCFeatureVersion = 211;
constexpr std::size_t kSetBaseObject = 282;

using VersionFn = unsigned int (*)();
using IntFn = int (*)();
using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*, int,
                                     PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

// Published once it passed every check, and never reset: the capsule's
// table lives as long as NumPy's extension module, which is never unloaded.
// Threads that load it at the same time find the same table, so the last
// store is as good as the first.
std::atomic<void**> api{nullptr};

void** table() noexcept { return api.load(std::memory_order_acquire); }

// What the Python error that a step of loading left pending means.
Load failed() noexcept {
    return PyErr_ExceptionMatches(PyExc_ImportError) || PyErr_ExceptionMatches(PyExc_AttributeError)
               ? Load::unavailable
               : Load::raised;
}

template <class Fn>
Fn entry(void** table, std::size_t index) {
    return reinterpret_cast<Fn>(table[index]);
}

// NumPy 2 moved its core package to numpy._core; numpy.core still exists
// there but warns on use, and NumPy 1.x has only numpy.core.
const char* multiarray_module_name() {
    Object numpy = Object::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Object version = Object::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    Object lib = Object::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return nullptr;
    Object parsed = Object::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return nullptr;
    Object major = Object::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) return nullptr;
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) return nullptr;
    return value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

// The same checks, in the same order, as NumPy's import_array().
bool check_versions(void** table) {
    const unsigned int abi = entry<VersionFn>(table, kGetNDArrayCVersion)();
    if (kAbiVersion < abi) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     kAbiVersion, abi);
        return false;
    }
    const unsigned int feature = entry<VersionFn>(table, kGetNDArrayCFeatureVersion)();
    if (kFeatureVersion > feature) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy 1.23) but the running NumPy has "
                     "C-API version 0x%x",
                     kFeatureVersion, feature);
        return false;
    }
    if (entry<IntFn>(table, kGetEndianness)() != kCpuEndianness) {
        PyErr_SetString(PyExc_RuntimeError, "NumPy detected an endianness other than the one this module was built for");
        return false;
    }
    return true;
}

}  // namespace

Load load() {
    if (table() != nullptr) return Load::ready;

    const char* name = multiarray_module_name();
    if (name == nullptr) return failed();
    Object multiarray = Object::steal(PyImport_ImportModule(name));
    if (!multiarray) return failed();
    Object capsule = Object::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return failed();
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a PyCapsule object");
        return Load::unavailable;
    }
    auto** loaded = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (loaded == nullptr) {
        if (PyErr_Occurred()) return failed();
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is a NULL pointer");
        return Load::unavailable;
    }
    if (!check_versions(loaded)) return Load::unavailable;
    api.store(loaded, std::memory_order_release);
    return Load::ready;
}

PyObject* new_vector(int type_num, std::size_t n, std::size_t itemsize, void* data) {
    // The descriptor reference is stolen by PyArray_NewFromDescr, on
    // failure too.
    void** const functions = table();
    PyObject* descr = entry<DescrFromTypeFn>(functions, kDescrFromType)(type_num);
    if (descr == nullptr) return nullptr;
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)};
    const Py_ssize_t strides[1] = {static_cast<Py_ssize_t>(itemsize)};
    // Only WRITEABLE is asked for: NumPy works out contiguity and alignment
    // from the address and the stride itself.
    return entry<NewFromDescrFn>(functions, kNewFromDescr)(static_cast<PyTypeObject*>(functions[kArrayType]), descr,
                                                           1, dims, strides, data, kArrayWriteable, nullptr);
}

int set_base_object(PyObject* array, PyObject* base) {
    return entry<SetBaseObjectFn>(table(), kSetBaseObject)(array, base);
}

}  // namespace orvex::numpy
