// The machine-wide lock that makes each look-and-change of the system INF
// folder one step across every process that uses this library.
#pragma once

#include "package/difx_api.h"

namespace difx {

class StoreLock {
 public:
  // Waits for the lock, at most `waitMs`.
  explicit StoreLock(DWORD waitMs);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // ERROR_SUCCESS when the work may go ahead; ERROR_TIMEOUT when the lock's
  // holder kept it past the wait, or the wait's own failure.
  DWORD status() const { return status_; }

 private:
  HANDLE mutex_ = nullptr;
  bool held_ = false;
  DWORD status_ = ERROR_SUCCESS;
};

// Its name in the global namespace.
extern const wchar_t kStoreLockName[];

}  // namespace difx
