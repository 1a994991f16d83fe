// Systematic fault injection through the call table, the way SQLite fails
// every I/O call in turn: a FaultSweep sits over whatever the table holds
// (real calls or other fakes), counts every call that can fail, fails the
// k-th one the way that call fails on Windows (or ends the run there, as if
// the process were killed), and keeps the books on every handle acquired and
// given back.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "platform/calls.h"

namespace fakes {

enum CallId {
#define MDS_CALL_ID(name, library, failure) k##name,
  MDS_PLATFORM_CALLS(MDS_CALL_ID)
#undef MDS_CALL_ID
      kDriverPackagePreinstallW,
  kDriverPackageUninstallW,
  kDriverPackageGetPathW,
  kMdsPreinstallW,
  kMdsRemovePublishedInfW,
  kCallIdCount
};

const char* CallName(CallId id);

// What a killed run's calls throw up to the test. No std::exception, so that
// only a `catch (...)` takes it, and the next call throws it again.
struct Killed {};

// The last error a call fails with in the sweep (0 for one that never fails).
DWORD InjectedError(CallId id);

class FaultSweep {
 public:
  // Which code answers the DIFx exports that the tool looks up: whatever the
  // table below found (the DLL it loaded, or a test's redirect to the
  // library's code in process, whose calls then reach the fakes below), or
  // difxapi_x64.dll's own code linked into the test program, whose Windows
  // calls go through this table to the real functions, as the shipped DLL's
  // own table would. Either way they are failed in turn too.
  enum class Library { kAsLoaded, kInProcess };

  // failAt: the 1-based number of the failable call to fail; 0 fails none.
  explicit FaultSweep(long failAt = 0);
  // Fails each of these calls (1-based numbers), to reach what only lies
  // behind an earlier failure.
  explicit FaultSweep(std::vector<long> failAt, Library library = Library::kAsLoaded);
  ~FaultSweep();
  FaultSweep(const FaultSweep&) = delete;
  FaultSweep& operator=(const FaultSweep&) = delete;

  long failableCalls() const { return failableCalls_; }
  const std::vector<CallId>& callsMade() const { return callsMade_; }  // failable ones, in order
  // Where each failable call came from: the entry and the caller's return
  // address, so that two calls of one function from two places count apart.
  struct Site {
    CallId id;
    const void* caller;
    bool inLibrary;  // made by the DIFx library's code (not part of the order)
    bool operator<(const Site& o) const { return id != o.id ? id < o.id : caller < o.caller; }
    bool operator==(const Site& o) const { return id == o.id && caller == o.caller; }
  };
  const std::vector<Site>& sites() const { return sites_; }  // one per failable call, in order
  bool injected() const { return !injectedCalls_.empty(); }
  CallId injectedCall() const { return injectedCalls_.empty() ? kCallIdCount : injectedCalls_.front(); }
  const std::vector<CallId>& injectedCalls() const { return injectedCalls_; }

  // Handles acquired and not yet given back, by kind ("library", "inf", ...).
  std::map<std::string, int> Outstanding() const;
  // Releases of a handle that was not held (a double release, or a never-acquired one).
  const std::vector<std::string>& badReleases() const { return badReleases_; }
  int acquired() const { return acquired_; }
  // With the library in process: each time it answered success for what the
  // system INF folder then did not show (a stored package with no copy, a
  // removed one with a copy left), what it was asked.
  std::vector<std::string> falseSuccesses;

  // Used by the hooks.
  bool Tick(CallId id, const void* caller);
  void Acquired(const char* kind, void* handle);
  void Released(const char* kind, void* handle);
  // What the hooks call on to: the table as it was, or for the library's own
  // calls in process (kInProcess) the real functions, since the shipped
  // library has a table of its own that the test's fakes never reach.
  const platform::Calls& below() const {
    return inLibrary_ && library_ == Library::kInProcess ? platform::RealCalls() : below_;
  }
  Library library() const { return library_; }
  bool inLibrary_ = false;  // set while a DIFx export runs
  // A failed wait answers WAIT_TIMEOUT (the store lock's holder kept it past
  // the wait) instead of WAIT_FAILED.
  bool waitsTimeOut = false;
  // The failAt call ends the run instead of failing: it throws Killed, and so
  // does every call after it, so that nothing more reaches the system, also
  // where a `catch (...)` swallowed the first. Only the releases, and the
  // calls they make on the way (a first use's lookup), go through and never
  // throw: they run in destructors, and Windows closes a dead process's
  // handles and lets go of its mutexes all the same.
  bool kills = false;
  bool killed() const { return killed_; }
  void ThrowIfKilled() const;
  int releasing_ = 0;  // releases under way

 private:
  platform::Calls below_;
  std::vector<long> failAt_;
  Library library_;
  bool killed_ = false;
  long failableCalls_ = 0;
  std::vector<CallId> injectedCalls_;
  std::vector<CallId> callsMade_;
  std::vector<Site> sites_;
  std::multimap<void*, std::string> live_;  // a mutex or file handle may stand for a lock too
  std::vector<std::string> badReleases_;
  int acquired_ = 0;
};

}  // namespace fakes
