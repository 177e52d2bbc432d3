#include "module/slice_container.h"

#include <atomic>

#include "module/interpreter.h"
#include "module/py_object.h"

namespace orvex {

namespace {

struct SliceContainer {
    PyObject_HEAD
    void* data;
    std::size_t size;
    std::size_t capacity;
    textgrid::ReleaseBuffer release;  // null until a buffer is adopted
};

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->release != nullptr) container->release(container->data, container->size, container->capacity);
    // Instances of a heap type hold a reference to it.
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    // A dotted name gives the type a __module__; without one the
    // interpreter warns when the type is created.
    "orvex.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
#if PY_VERSION_HEX >= 0x030A0000
    // Only the module makes these: an instance made from Python would own
    // no buffer.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
#else
    Py_TPFLAGS_DEFAULT,
#endif
    slice_container_slots,
};

std::atomic<PyTypeObject*> created_type{nullptr};

PyTypeObject* slice_container_type() { return type_once(created_type, slice_container_spec); }

}  // namespace

namespace detail {

PyObject* new_empty_slice_container() {
    PyTypeObject* type = slice_container_type();
    if (type == nullptr) return nullptr;
    // tp_alloc zero-fills, so the container releases nothing until it
    // adopts a buffer.
    return type->tp_alloc(type, 0);
}

void adopt_buffer(PyObject* container, void* data, std::size_t size, std::size_t capacity,
                  textgrid::ReleaseBuffer release) noexcept {
    auto* self = reinterpret_cast<SliceContainer*>(container);
    self->data = data;
    self->size = size;
    self->capacity = capacity;
    self->release = release;
}

}  // namespace detail

void* slice_container_data(PyObject* container) noexcept {
    return reinterpret_cast<SliceContainer*>(container)->data;
}

}  // namespace orvex
