// Fills the Windows call table with the real functions.
#include "platform/calls.h"

namespace platform {
namespace {

template <typename Fn>
Fn LookUpKernel32(const char* name) {
  const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, name)));
}

Calls MakeRealCalls() {
  Calls calls{};
#define MDS_LINK_CALL(name) calls.name = &::name;
  MDS_PLATFORM_CALLS_LINKED(MDS_LINK_CALL)
#undef MDS_LINK_CALL
#define MDS_LOOK_UP_CALL(name) calls.name = LookUpKernel32<decltype(&::name)>(#name);
  MDS_PLATFORM_CALLS_LOOKED_UP(MDS_LOOK_UP_CALL)
#undef MDS_LOOK_UP_CALL
  return calls;
}

const Calls kRealCalls = MakeRealCalls();
Calls g_calls = kRealCalls;

}  // namespace

Calls& Sys() { return g_calls; }

const Calls& RealCalls() { return kRealCalls; }

void ResetCalls() { g_calls = kRealCalls; }

}  // namespace platform
