// PySliceContainer: the Python object that owns a column buffer handed over
// by the core library, so that a NumPy array can point into it without a
// copy. The array holds the only reference (as its base); when the array
// and every view of it are gone, the container frees the buffer with the
// release routine that came with it.
//
// The type is created once per process, on first need; it is not reachable
// from the module and offers nothing to Python. Every function here needs
// the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>

#include "textgrid/base/column.h"

namespace orvex {

namespace detail {
// A new container that owns nothing yet; NULL with a Python exception set.
PyObject* new_empty_slice_container();
// Gives the container its buffer. Never fails.
void adopt_buffer(PyObject* container, void* data, std::size_t size, std::size_t capacity,
                  textgrid::ReleaseBuffer release) noexcept;
}  // namespace detail

// A new reference to a container that has taken over column's buffer (the
// column is left empty), or NULL with a Python exception set, in which case
// the column still owns its buffer. An empty column gives a container of
// the aligned placeholder with capacity 0.
template <class T>
PyObject* new_slice_container(textgrid::Column<T>& column) {
    PyObject* container = detail::new_empty_slice_container();
    if (container == nullptr) return nullptr;
    const auto buffer = column.release();
    detail::adopt_buffer(container, buffer.data, buffer.size, buffer.capacity, &textgrid::Column<T>::free_buffer);
    return container;
}

// The start address of the buffer a container owns; never null once a
// buffer was adopted.
void* slice_container_data(PyObject* container) noexcept;

}  // namespace orvex
