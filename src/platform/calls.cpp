// Fills the Windows call table with the real functions.
#include "platform/calls.h"

namespace platform {
namespace {

Calls MakeRealCalls() {
  Calls calls{};
#define MDS_FILL_CALL(name) calls.name = &::name;
  MDS_PLATFORM_CALLS(MDS_FILL_CALL)
#undef MDS_FILL_CALL
  return calls;
}

const Calls kRealCalls = MakeRealCalls();
Calls g_calls = kRealCalls;

}  // namespace

Calls& Sys() { return g_calls; }

const Calls& RealCalls() { return kRealCalls; }

void ResetCalls() { g_calls = kRealCalls; }

}  // namespace platform
