#include "pyobj/names.hpp"

namespace pyobj {

namespace {

// The newest registered slot; a constant-initialised static, so it is ready
// before any slot's dynamic initialisation registers itself.
NameSlot*& newest_slot() noexcept {
    static NameSlot* newest = nullptr;
    return newest;
}

}  // namespace

NameSlot::NameSlot(const char* name) noexcept : text(name), next(newest_slot()) { newest_slot() = this; }

bool create_names() noexcept {
    for (NameSlot* slot = newest_slot(); slot != nullptr; slot = slot->next) {
        if (slot->object != nullptr) continue;
        slot->object = PyUnicode_InternFromString(slot->text);
        if (slot->object == nullptr) return false;
    }
    return true;
}

}  // namespace pyobj
