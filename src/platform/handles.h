// RAII owners for the handles the tool and its library acquire: a loaded
// library, an INF handle, a device information set, a file, a kernel object
// (mutex, token), a directory search, a registry key, memory the system
// allocated, and the store lock's private namespace and boundary descriptor.
// Each is given back exactly once, through the call table, on every path out
// of its scope.
#pragma once

#include <utility>

#include "platform/calls.h"

namespace platform {

// One template, one short traits struct per handle kind (close function and
// "invalid" value as policy). Copying is deleted; moving hands over ownership.
template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::type;

  UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit UniqueHandle(pointer handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  pointer get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives back the held handle (if any) and takes ownership of `handle`.
  void reset(pointer handle = Traits::Invalid()) noexcept {
    pointer old = handle_;
    handle_ = handle;
    if (old != Traits::Invalid()) Traits::Close(old);
  }

  pointer release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

 private:
  pointer handle_;
};

struct LibraryTraits {
  using type = HMODULE;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { Sys().FreeLibrary(h); }
};

struct InfTraits {
  using type = HINF;
  static type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(type h) noexcept { Sys().SetupCloseInfFile(h); }
};

struct DevInfoTraits {
  using type = HDEVINFO;
  static type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(type h) noexcept { Sys().SetupDiDestroyDeviceInfoList(h); }
};

struct FileTraits {
  using type = HANDLE;
  static type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(type h) noexcept { Sys().CloseHandle(h); }
};

// A kernel object whose "none" is null rather than INVALID_HANDLE_VALUE.
struct KernelObjectTraits {
  using type = HANDLE;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { Sys().CloseHandle(h); }
};

struct FindTraits {
  using type = HANDLE;
  static type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(type h) noexcept { Sys().FindClose(h); }
};

// A registry key (a device's driver key).
struct RegistryKeyTraits {
  using type = HKEY;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { Sys().RegCloseKey(h); }
};

// Memory the system allocated for the caller to give back (a security descriptor).
struct LocalTraits {
  using type = HLOCAL;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { Sys().LocalFree(h); }
};

// The store lock's private namespace. Closed, never destroyed: it lives on
// while any other run has it open.
struct PrivateNamespaceTraits {
  using type = HANDLE;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { Sys().ClosePrivateNamespace(h, 0); }
};

// A boundary descriptor: the caller's own memory, which the system copies
// into the namespace it makes or opens with it.
struct BoundaryDescriptorTraits {
  using type = HANDLE;
  static type Invalid() noexcept { return nullptr; }
  static void Close(type h) noexcept { Sys().DeleteBoundaryDescriptor(h); }
};

using unique_library = UniqueHandle<LibraryTraits>;
using unique_hinf = UniqueHandle<InfTraits>;
using unique_hdevinfo = UniqueHandle<DevInfoTraits>;
using unique_file = UniqueHandle<FileTraits>;
using unique_kernel_object = UniqueHandle<KernelObjectTraits>;
using unique_find = UniqueHandle<FindTraits>;
using unique_local = UniqueHandle<LocalTraits>;
using unique_hkey = UniqueHandle<RegistryKeyTraits>;
using unique_private_namespace = UniqueHandle<PrivateNamespaceTraits>;
using unique_boundary_descriptor = UniqueHandle<BoundaryDescriptorTraits>;

}  // namespace platform
