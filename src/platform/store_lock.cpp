// The store lock: a named mutex in a private namespace of the
// administrators' or in the global namespace, trusted only when it belongs to
// the system, the administrators or this process's own user.
#include "platform/store_lock.h"

#include <utility>
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

// Only SYSTEM and the administrators may make the namespace, or open it.
const wchar_t kNamespaceSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The last error of the call that just failed; never ERROR_SUCCESS, which
// Wine's stubs leave.
DWORD LastFailure() {
  const DWORD error = Sys().GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

bool PrivateNamespacesOffered() {
  const Calls& sys = Sys();
  return sys.CreateBoundaryDescriptorW != nullptr && sys.AddSIDToBoundaryDescriptor != nullptr &&
         sys.CreatePrivateNamespaceW != nullptr && sys.OpenPrivateNamespaceW != nullptr &&
         sys.ClosePrivateNamespace != nullptr && sys.DeleteBoundaryDescriptor != nullptr;
}

// The boundary holds the Administrators group: only a process whose token
// holds it may make the namespace.
unique_boundary_descriptor AdministratorsBoundary(DWORD& error) {
  unique_boundary_descriptor boundary(Sys().CreateBoundaryDescriptorW(kStoreLockNamespace, 0));
  if (!boundary) {
    error = LastFailure();
    return boundary;
  }
  alignas(SID) BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(administrators);
  if (!Sys().CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
    error = LastFailure();
    return unique_boundary_descriptor();
  }
  // The descriptor may move as it grows.
  HANDLE grown = boundary.release();
  const bool added = Sys().AddSIDToBoundaryDescriptor(&grown, administrators) != FALSE;
  if (!added) error = LastFailure();
  boundary.reset(grown);
  return added ? std::move(boundary) : unique_boundary_descriptor();
}

// Opens the namespace, or makes it. The last run to have it open may close
// it between this run's try to make it and its try to open it; the next try
// to make it then succeeds.
unique_private_namespace OpenNamespace(DWORD& error) {
  const unique_boundary_descriptor boundary = AdministratorsBoundary(error);
  if (!boundary) return unique_private_namespace();
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  if (!Sys().ConvertStringSecurityDescriptorToSecurityDescriptorW(kNamespaceSecurity, SDDL_REVISION_1, &rawDescriptor,
                                                                  nullptr)) {
    error = LastFailure();
    return unique_private_namespace();
  }
  const unique_local descriptor(rawDescriptor);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  for (int attempt = 0; attempt < 2; ++attempt) {
    unique_private_namespace made(Sys().CreatePrivateNamespaceW(&attributes, boundary.get(), kStoreLockNamespace));
    if (made) return made;
    error = LastFailure();
    if (error != ERROR_ALREADY_EXISTS) return made;
    unique_private_namespace opened(Sys().OpenPrivateNamespaceW(boundary.get(), kStoreLockNamespace));
    if (opened) return opened;
    error = LastFailure();
  }
  return unique_private_namespace();
}

// Opens the lock's mutex in its place, or makes it, asking for no more than
// the lock needs: waiting, releasing (which needs no right of its own) and
// reading its owner. An object SYSTEM makes lets the administrators just
// that much, so a deployment tool's run as SYSTEM and an elevated
// administrator's run share it; asking for full access would have refused
// the second. `place` stays open as long as the mutex.
LockNameState OpenLock(unique_private_namespace& place, unique_kernel_object& mutex, DWORD& why) {
  const wchar_t* name = kStoreLockName;
  if (StoreLockPlace() == LockPlace::kPrivateNamespace) {
    place = OpenNamespace(why);
    if (!place) return LockNameState::kTaken;
    name = kStoreLockNamespacedName;
  }
  mutex.reset(Sys().CreateMutexExW(nullptr, name, 0, SYNCHRONIZE | READ_CONTROL));
  if (!mutex) {
    why = LastFailure();
    return LockNameState::kTaken;
  }
  if (Sys().GetLastError() != ERROR_ALREADY_EXISTS) return LockNameState::kFree;
  if (HasTrustedOwner(mutex.get())) return LockNameState::kTrustedMutex;
  why = ERROR_INVALID_OWNER;
  mutex.reset();
  return LockNameState::kTaken;
}

}  // namespace

const wchar_t kStoreLockName[] = L"Global\\mdsdriver.difxapi_x64.store";
const wchar_t kStoreLockNamespace[] = L"mdsdriver";
const wchar_t kStoreLockNamespacedName[] = L"mdsdriver\\difxapi_x64.store";

LockPlace StoreLockPlace() {
  if (!PrivateNamespacesOffered()) return LockPlace::kGlobalName;
  // Only a run known to be outside the boundary uses the global name: one
  // that cannot tell tries the namespace, and fails there if it must.
  alignas(SID) BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(administrators);
  BOOL member = TRUE;
  if (Sys().CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
      Sys().CheckTokenMembership(nullptr, administrators, &member) && !member) {
    return LockPlace::kGlobalName;
  }
  return LockPlace::kPrivateNamespace;
}

LockNameState StoreLockNameState() {
  unique_private_namespace place;
  unique_kernel_object mutex;
  DWORD why = ERROR_SUCCESS;
  return OpenLock(place, mutex, why);
}

StoreLock::StoreLock(DWORD waitMs, const StoreLockWatch* watch, LockUse use) : outer_(t_outermost) {
  if (outer_ != nullptr) {
    status_ = outer_->status_;
    return;
  }
  t_outermost = this;
  DWORD why = ERROR_SUCCESS;
  if (OpenLock(place_, mutex_, why) == LockNameState::kTaken) {
    // A preferred lock goes ahead without, as runs did before there was a
    // lock: nobody may hold the work up by taking the name.
    if (use == LockUse::kRequired) status_ = why;
    if (watch != nullptr && watch->nameTaken != nullptr) watch->nameTaken(why);
    return;
  }
  Wait(waitMs, watch);
}

DWORD StoreLock::WaitAgain(DWORD waitMs, const StoreLockWatch* watch) {
  // Only a lock whose own wait failed has a mutex to wait for and none held.
  if (outer_ == nullptr && mutex_ && status_ != ERROR_SUCCESS) Wait(waitMs, watch);
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
  status_ = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : LastFailure();
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
