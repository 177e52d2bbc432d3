// What the module keeps in, or changes about, the interpreter across calls:
// heap types made once for the whole process, and the pause of the cyclic
// garbage collector while a large result is built.
//
// Everything here needs the interpreter lock unless it says otherwise.
#pragma once

#include <atomic>

#include "module/py_object.h"

namespace orvex {

// The heap type made from type_spec, created on first need and kept for the rest
// of the process (the module is never unloaded); slot holds it. Safe
// without the interpreter lock: the type is published only once complete,
// and a thread that created one at the same time drops its own, which no
// instance uses yet. Before 3.10 the type also loses tp_new, so that Python
// cannot make instances. Returns a borrowed reference, or null with the
// Python error set; a failed creation is tried again by the next call.
PyTypeObject* type_once(std::atomic<PyTypeObject*>& slot, PyType_Spec& type_spec) noexcept;

// Keeps the cyclic garbage collector off while a large result is built.
// Nothing the module builds can form a cycle, yet every few hundred new
// tuples the collector would rescan all of them: on a batch of thousands of
// files that costs more than the reading. Pauses that overlap (calls on
// several threads, or a signal handler's call inside another call) count
// as one: the first turns the collector off, the last turns it back on if
// it was on when the first began.
class GcPause {
public:
    GcPause() noexcept;
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
};

}  // namespace orvex
