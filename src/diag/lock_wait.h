// What a run says while it waits for the store lock, and when it cannot have
// it at all: a run that waits minutes for another one must not look hung in
// its log, and one that runs without the lock must say so.
#pragma once

#include "platform/store_lock.h"

namespace diag {

// As log records, for "/i", "/u" and "/re"; a name taken goes on the trace.
extern const platform::StoreLockWatch kLoggedLockWait;

// As trace lines, for "/status" and the fleet's switches, which write no log.
extern const platform::StoreLockWatch kTracedLockWait;

extern const wchar_t kLockWaiting[];    // "Waiting for the store lock..."
extern const wchar_t kLockGaveUp[];     // "... failed after %lu ms(%d)"
extern const wchar_t kLockNameTaken[];  // "The store lock's name is taken ...(%d): ..."

}  // namespace diag
