#pragma once
// The number of descriptors the process may hold open at once.
#include <cstdint>

namespace lindra {

// Raises the soft limit of open descriptors towards the hard limit, as far as the
// system allows, and returns the soft limit in force afterwards. A server holding
// many connections (CTI programs, operator PCs) must not be stopped short by the
// default soft limit, which is kept low for programs that still use select().
uint64_t RaiseDescriptorLimit();

}  // namespace lindra
