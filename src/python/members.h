// Enumeration members from stored bytes, shared by the enumeration classes and by the
// getters of other classes that expose a stored byte as a member.
#pragma once

#include <cstdint>

#include "bind/ref.h"

namespace orx::py {

// A new member of E for `byte`, or null with the ValueError of E.from_int set:
// "Unknown Side value: '{c}'", "Unknown Action value: '{c}'", "Unknown RType value: {v}".
// Defined for Side, Action and RType.
template <class E>
PyObject* member_from_byte(uint8_t byte);

}  // namespace orx::py
