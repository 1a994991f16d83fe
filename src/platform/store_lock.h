// The machine-wide lock that makes each look-and-change of the system INF
// folder one step across every process that changes it: difxapi_x64.dll's
// preinstall and uninstall, and the tool's own INF copy.
#pragma once

#include "platform/handles.h"

namespace platform {

// A run takes it once, for the whole of its store work. A StoreLock made on a
// thread that already has one alive (the device update inside "/i") is part
// of that one: it takes its status and neither waits nor releases, so a run
// that could not have the lock waits for it again only where it asks to
// (WaitAgain). (Our library has
// its own copy of this code, so its lock inside the tool's is a second
// acquire of the same mutex, which a Windows mutex grants its owning thread
// at once.)
// Told when a run finds the lock held and starts to wait for it, and when it
// gives up: a run that waits minutes must say so while it waits. Either may
// be null.
struct StoreLockWatch {
  void (*waiting)();
  void (*gaveUp)(unsigned long waitedMs, DWORD status);
};

class StoreLock {
 public:
  // Waits for the lock, at most `waitMs`, telling `watch` (if given) of a wait.
  explicit StoreLock(DWORD waitMs, const StoreLockWatch* watch = nullptr);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // ERROR_SUCCESS when the work may go ahead; ERROR_TIMEOUT when the lock's
  // holder kept it past the wait, or the wait's own failure.
  DWORD status() const { return status_; }

  // The outermost lock of a run whose wait failed waits for it once more, as
  // it did at first, and keeps it from then on when it has it; any other lock
  // stays as it is. Returns the status after it.
  DWORD WaitAgain(DWORD waitMs, const StoreLockWatch* watch = nullptr);

 private:
  void Wait(DWORD waitMs, const StoreLockWatch* watch);

  unique_kernel_object mutex_;
  bool held_ = false;
  DWORD status_ = ERROR_SUCCESS;
  const StoreLock* outer_;
};

// Whether an object's owner, or a principal granted a right to change it,
// is one this run may trust: SYSTEM, the Administrators group, or, for an
// unelevated run, its own user (whose programs it could not keep out anyway).
bool IsTrustedSid(PSID sid);

// Its name in the global namespace.
extern const wchar_t kStoreLockName[];

// How long a run waits for the lock. Its holder keeps it for milliseconds: the
// wait is long enough for a crowd of runs and still ends, so a run never hangs
// on a stuck one.
constexpr DWORD kStoreLockWaitMs = 120000;

}  // namespace platform
