// The store lock: a named mutex in the global namespace, trusted only when
// it belongs to the system, the administrators or this process's own user.
#include "platform/store_lock.h"

#include <vector>

namespace platform {
namespace {

// The user this process runs as, when it runs unelevated; an empty buffer
// when it runs elevated or its token cannot be read. An elevated run trusts
// no mutex of its user's alone: any unelevated program of that user could
// have made it, while the objects of an elevated administrator's run belong
// to the Administrators group.
std::vector<BYTE> UnelevatedProcessUser() {
  std::vector<BYTE> user;
  HANDLE rawToken = nullptr;
  if (!Sys().OpenProcessToken(Sys().GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return user;
  const unique_kernel_object token(rawToken);
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  if (!Sys().GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) ||
      elevation.TokenIsElevated != 0) {
    return user;
  }
  Sys().GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  user.resize(size);
  if (size == 0 || !Sys().GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) user.clear();
  return user;
}

// A mutex that someone else made first under our name is only waited for
// when its owner could have been one of us: SYSTEM, the Administrators group
// (an elevated run) or, for an unelevated run, the same user. Anyone else
// could make it only to hold every install up.
bool HasTrustedOwner(HANDLE mutex) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  if (Sys().GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &rawDescriptor) != ERROR_SUCCESS) {
    return false;
  }
  const unique_local descriptor(rawDescriptor);
  // No owner at all: Wine gives an object made without a security
  // descriptor none. Windows always sets one, so there it is never a stranger's.
  return owner == nullptr || IsTrustedSid(owner);
}

}  // namespace

bool IsTrustedSid(PSID sid) {
  if (Sys().IsWellKnownSid(sid, WinLocalSystemSid) || Sys().IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
    return true;
  }
  const std::vector<BYTE> user = UnelevatedProcessUser();
  return !user.empty() && Sys().EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
}

namespace {

// The outermost lock alive on this thread, if any.
thread_local const StoreLock* t_outermost = nullptr;

}  // namespace

const wchar_t kStoreLockName[] = L"Global\\mdsdriver.difxapi_x64.store";

StoreLock::StoreLock(DWORD waitMs, const StoreLockWatch* watch) : outer_(t_outermost) {
  if (outer_ != nullptr) {
    status_ = outer_->status_;
    return;
  }
  t_outermost = this;
  // Opens the lock, or makes it, asking for no more than the lock needs:
  // waiting, releasing (which needs no right of its own) and reading its
  // owner. An object SYSTEM makes lets the administrators just that much, so
  // a deployment tool's run as SYSTEM and an elevated administrator's run
  // share it; asking for full access would have refused the second.
  mutex_.reset(Sys().CreateMutexExW(nullptr, kStoreLockName, 0, SYNCHRONIZE | READ_CONTROL));
  const bool existed = Sys().GetLastError() == ERROR_ALREADY_EXISTS;
  // The name is taken by another kind of object, or by a mutex this run may
  // not use, or one a stranger made: nobody may hold the work up with it,
  // so it goes ahead without the lock, as it did before there was one.
  if (!mutex_) return;
  if (existed && !HasTrustedOwner(mutex_.get())) return;

  Wait(waitMs, watch);
}

DWORD StoreLock::WaitAgain(DWORD waitMs, const StoreLockWatch* watch) {
  // Only a lock whose own wait failed has a mutex to wait for and none held.
  if (outer_ == nullptr && status_ != ERROR_SUCCESS) Wait(waitMs, watch);
  return status_;
}

void StoreLock::Wait(DWORD waitMs, const StoreLockWatch* watch) {
  // A free lock is had at once; only a held one is a wait worth telling of.
  DWORD wait = Sys().WaitForSingleObject(mutex_.get(), 0);
  ULONGLONG started = 0;
  const bool waits = wait == WAIT_TIMEOUT && waitMs != 0;
  if (waits) {
    if (watch != nullptr && watch->waiting != nullptr) watch->waiting();
    started = Sys().GetTickCount64();
    wait = Sys().WaitForSingleObject(mutex_.get(), waitMs);
  }
  // WAIT_ABANDONED: a run ended while it held the lock. Every change it made
  // is a whole file copied or deleted, so the folder is sound to use.
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    held_ = true;
    status_ = ERROR_SUCCESS;
    return;
  }
  if (wait == WAIT_TIMEOUT) {
    status_ = ERROR_TIMEOUT;
  } else {
    const DWORD error = Sys().GetLastError();
    status_ = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
  }
  if (waits && watch != nullptr && watch->gaveUp != nullptr) {
    watch->gaveUp(static_cast<unsigned long>(Sys().GetTickCount64() - started), status_);
  }
}

StoreLock::~StoreLock() {
  if (outer_ == nullptr) t_outermost = nullptr;
  // A mutex is owned by its thread, not its handle: closing the handle alone
  // would keep it held until the thread ends.
  if (held_) Sys().ReleaseMutex(mutex_.get());
}

}  // namespace platform
