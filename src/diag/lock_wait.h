// What a run says while it waits for the store lock: a run that waits minutes
// for another one must not look hung in its log.
#pragma once

#include "platform/store_lock.h"

namespace diag {

// As log records, for "/i", "/u" and "/re".
extern const platform::StoreLockWatch kLoggedLockWait;

// As trace lines, for "/status", which writes no log.
extern const platform::StoreLockWatch kTracedLockWait;

extern const wchar_t kLockWaiting[];  // "Waiting for the store lock..."
extern const wchar_t kLockGaveUp[];   // "... failed after %lu ms(%d)"

}  // namespace diag
