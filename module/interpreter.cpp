#include "module/interpreter.h"

#include <cstddef>
#include <mutex>

namespace orvex {

PyTypeObject* type_once(std::atomic<PyTypeObject*>& slot, PyType_Spec& type_spec) noexcept {
    if (PyTypeObject* type = slot.load(std::memory_order_acquire)) return type;
    Object made = Object::steal(PyType_FromSpec(&type_spec));
    if (!made) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(made.get());
#if PY_VERSION_HEX < 0x030A0000
    type->tp_new = nullptr;
#endif
    PyTypeObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) return expected;
    (void)made.release();  // owned by slot from now on
    return type;
}

#if PY_VERSION_HEX >= 0x030A0000
namespace {

// One pause for all calls at once. A pause that restored the state it found
// would break when calls overlap: the second call to begin finds the
// collector off, and the first to end would turn it on under the other.
struct GcPauses {
    std::mutex mutex;
    std::size_t active = 0;
    bool was_enabled = false;
};

GcPauses gc_pauses;

}  // namespace

GcPause::GcPause() noexcept {
    std::lock_guard lock(gc_pauses.mutex);
    if (gc_pauses.active++ == 0) gc_pauses.was_enabled = PyGC_Disable() == 1;
}

GcPause::~GcPause() {
    std::lock_guard lock(gc_pauses.mutex);
    if (--gc_pauses.active == 0 && gc_pauses.was_enabled) PyGC_Enable();
}
#else
// Before 3.10 the collector has no C switch; the result is simply built with
// it running.
GcPause::GcPause() noexcept = default;
GcPause::~GcPause() = default;
#endif

}  // namespace orvex
