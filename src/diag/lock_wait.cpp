// The store lock's waits, told through the log or the trace.
#include "diag/lock_wait.h"

#include "diag/log.h"
#include "diag/trace.h"

namespace diag {
namespace {

void LogWaiting() { LogLine(kLockWaiting); }
void LogGaveUp(unsigned long waitedMs, DWORD status) { LogLine(kLockGaveUp, waitedMs, status); }
void TraceWaiting() { TraceLine(kLockWaiting); }
void TraceGaveUp(unsigned long waitedMs, DWORD status) { TraceLine(kLockGaveUp, waitedMs, status); }

}  // namespace

const wchar_t kLockWaiting[] = L"Waiting for the store lock (another run holds it)...";
const wchar_t kLockGaveUp[] = L"Waiting for the store lock failed after %lu ms(%d)";

const platform::StoreLockWatch kLoggedLockWait = {&LogWaiting, &LogGaveUp};
const platform::StoreLockWatch kTracedLockWait = {&TraceWaiting, &TraceGaveUp};

}  // namespace diag
