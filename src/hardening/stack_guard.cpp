// The run-time half of GCC's stack protector (-fstack-protector-strong) and of
// _FORTIFY_SOURCE in both shipped binaries: the guard value that protected
// functions check on their way out, and the handlers that end the process
// when a check fails. MSVC builds have /GS and its own runtime instead.
//
// GCC's libssp has the same three symbols, but it seeds the guard through
// ADVAPI32's CryptGenRandom: the exe would import ADVAPI32 and start a
// cryptographic provider on every run, and it ends an overrun process by
// raising an exception through the process's own handlers.
//
// Built without the stack protector (CMakeLists.txt): this file changes the
// guard, which a protected function of its own would take for an overrun.
// It calls Windows directly, not through the call table: the guard is seeded
// before main and before the table is made, and a process whose stack has
// been overrun must not call through a writable table of pointers.
#include "hardening/stack_guard.h"

#include "platform/win.h"

#if defined(__GNUC__)

#include <cstdint>

// The names GCC's generated code and the mingw-w64 headers call.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
// Copied into a protected function's frame on the way in and compared on the
// way out. This value holds only until SeedStackGuard runs at start-up.
std::uintptr_t __stack_chk_guard = hardening::kUnseededStackGuard;

[[noreturn]] void __stack_chk_fail();
// Not marked [[noreturn]] here: with _FORTIFY_SOURCE, mingw-w64's string.h
// has declared it first, and so marked it.
void __chk_fail();
}
// NOLINTEND(bugprone-reserved-identifier)

namespace {

// splitmix64's finaliser: every bit of the seed reaches every bit of the guard.
std::uint64_t Mix(std::uint64_t value) noexcept {
  value ^= value >> 30;
  value *= 0xBF58476D1CE4E5B9ull;
  value ^= value >> 27;
  value *= 0x94D049BB133111EBull;
  value ^= value >> 31;
  return value;
}

// What differs from run to run and is not known outside the process: the
// Microsoft runtime's sources for its /GS cookie (the performance counter,
// the time in 100 ns units, the process and thread ids), and where address
// space layout randomisation has put this image and the stack. The lowest
// byte is zero, so an overrun by a string copy stops at the guard's first
// byte instead of writing past it.
bool SeedStackGuard() noexcept {
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  std::uint64_t seed = Mix(static_cast<std::uint64_t>(counter.QuadPart));
  seed = Mix(seed ^ ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime));
  seed = Mix(seed ^ ((static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) | GetCurrentThreadId()));
  seed = Mix(seed ^ reinterpret_cast<std::uintptr_t>(&counter));
  seed = Mix(seed ^ reinterpret_cast<std::uintptr_t>(&__stack_chk_guard));
  __stack_chk_guard = static_cast<std::uintptr_t>(seed & ~std::uint64_t{0xFF});
  return true;
}

// Runs among the static initialisers, before main (or DllMain), from the
// runtime's start-up code, which is not protected: no protected frame is
// alive to see the guard change.
const bool kStackGuardSeeded = SeedStackGuard();

}  // namespace

// A protected function found its frame overrun. The process ends at once,
// running none of its own code: no exception handler, no atexit, no DLL
// detach. Windows 8 and later take __fastfail (int 0x29) straight to Windows
// Error Reporting; exit code 0xC0000409 either way.
void __stack_chk_fail() {
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
    // FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, the code Microsoft's /GS uses
    // (tests/release/pe_check.py finds the handler by these two instructions).
    __asm__ __volatile__("movl $2, %%ecx\n\tint $0x29" : : : "ecx", "memory");
  }
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}

// A fortified library call (_FORTIFY_SOURCE) found its buffer too small.
void __chk_fail() {
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
    // FAST_FAIL_RANGE_CHECK_FAILURE
    __asm__ __volatile__("movl $8, %%ecx\n\tint $0x29" : : : "ecx", "memory");
  }
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}

#endif  // defined(__GNUC__)
