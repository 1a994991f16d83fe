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
// gives up: a run that waits minutes must say so while it waits. Told too
// when the run cannot have the lock at all, whatever it waits: its name is
// held by another kind of object or by a mutex whose owner this run does not
// trust, or its place cannot be opened; `why` is the system's error, or
// ERROR_INVALID_OWNER for a stranger's mutex. Any of them may be null.
struct StoreLockWatch {
  void (*waiting)();
  void (*gaveUp)(unsigned long waitedMs, DWORD status);
  void (*nameTaken)(DWORD why);
};

// What a run does when the lock's name is taken. The seed switches and our
// library prefer the lock but go on without it, so that nobody can hold an
// install up by taking the name; the fleet's switches require it, since
// their ownership records are sound only when no other run changes the
// store between their reads.
enum class LockUse { kPreferred, kRequired };

class StoreLock {
 public:
  // Waits for the lock, at most `waitMs`, telling `watch` (if given) of a
  // wait. A required lock whose name is taken is not had: status() says why.
  explicit StoreLock(DWORD waitMs, const StoreLockWatch* watch = nullptr, LockUse use = LockUse::kPreferred);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // ERROR_SUCCESS when the work may go ahead; ERROR_TIMEOUT when the lock's
  // holder kept it past the wait, or the wait's own failure; for a required
  // lock whose name is taken, the watch's `why`.
  DWORD status() const { return status_; }

  // The outermost lock of a run whose wait failed waits for it once more, as
  // it did at first, and keeps it from then on when it has it; any other lock
  // stays as it is. Returns the status after it.
  DWORD WaitAgain(DWORD waitMs, const StoreLockWatch* watch = nullptr);

 private:
  void Wait(DWORD waitMs, const StoreLockWatch* watch);

  // Open while the mutex is: the namespace lives only while a run has it open.
  unique_private_namespace place_;
  unique_kernel_object mutex_;
  bool held_ = false;
  DWORD status_ = ERROR_SUCCESS;
  const StoreLock* outer_;
};

// Whether an object's owner, or a principal granted a right to change it,
// is one this run may trust: SYSTEM, the Administrators group, or, for an
// unelevated run, its own user (whose programs it could not keep out anyway).
bool IsTrustedSid(PSID sid);

// Where the lock lives for this run. Where Windows offers private
// namespaces, a run whose token holds the Administrators group (elevated, or
// SYSTEM) makes and opens it in one that only SYSTEM and the administrators
// may make or open, so that no other user can take its name. Elsewhere (an
// unelevated run, which cannot change the store anyway; Wine, which has no
// private namespaces) it is the global name, as in releases before.
enum class LockPlace { kGlobalName, kPrivateNamespace };
LockPlace StoreLockPlace();

// What the lock's name holds now, for a run that only asks: nothing (no run
// has the lock open), a mutex this run may wait for, or something that makes
// the lock unusable (another kind of object, a stranger's mutex, or a place
// that cannot be opened).
enum class LockNameState { kFree, kTrustedMutex, kTaken };
LockNameState StoreLockNameState();

// Its name in the global namespace.
extern const wchar_t kStoreLockName[];

// The private namespace's name (and its boundary's), and the lock's name in it.
extern const wchar_t kStoreLockNamespace[];
extern const wchar_t kStoreLockNamespacedName[];

// How long a run waits for the lock. Its holder keeps it for milliseconds: the
// wait is long enough for a crowd of runs and still ends, so a run never hangs
// on a stuck one.
constexpr DWORD kStoreLockWaitMs = 120000;

}  // namespace platform
