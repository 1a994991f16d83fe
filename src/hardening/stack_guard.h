// The stack protector's guard (stack_guard.cpp), as the tests see it.
#pragma once

#include <cstdint>

namespace hardening {

// The guard's value in the image, before start-up seeds it for the process.
constexpr std::uint64_t kUnseededStackGuard = 0x2B992DDFA23200;

}  // namespace hardening
