// The store lock's waits, told through the log or the trace, and a name
// taken, told through the trace.
#include "diag/lock_wait.h"

#include "diag/log.h"
#include "diag/trace.h"

namespace diag {
namespace {

void LogWaiting() { LogLine(kLockWaiting); }
void LogGaveUp(unsigned long waitedMs, DWORD status) { LogLine(kLockGaveUp, waitedMs, status); }
void TraceWaiting() { TraceLine(kLockWaiting); }
void TraceGaveUp(unsigned long waitedMs, DWORD status) { TraceLine(kLockGaveUp, waitedMs, status); }
// Always on the trace, for the logged runs too: the lock's name taken is the
// one sign that runs no longer exclude each other, and the log is off by
// default.
void TraceNameTaken(DWORD why) { TraceLine(kLockNameTaken, why); }

}  // namespace

const wchar_t kLockWaiting[] = L"Waiting for the store lock (another run holds it)...";
const wchar_t kLockGaveUp[] = L"Waiting for the store lock failed after %lu ms(%d)";

const wchar_t kLockNameTaken[] =
    L"The store lock's name is taken by another object or an untrusted owner, or cannot be opened(%d): this run "
    L"does not have the lock";

const platform::StoreLockWatch kLoggedLockWait = {&LogWaiting, &LogGaveUp, &TraceNameTaken};
const platform::StoreLockWatch kTracedLockWait = {&TraceWaiting, &TraceGaveUp, &TraceNameTaken};

}  // namespace diag
