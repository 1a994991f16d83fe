// Buffers for the native checks that catch any access past their end: each
// sits in a heap block of exactly its size, or is followed by guard cells
// that hold a canary value and that AddressSanitizer treats as out of bounds.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace native {

constexpr wchar_t kCanary = static_cast<wchar_t>(0xA5A5);

// `capacity` writable cells filled with the canary, then kGuardCells
// poisoned guard cells. A write past the capacity stops the program at once
// under AddressSanitizer; without it, GuardIntact() still tells.
class GuardedBuffer {
 public:
  static constexpr std::size_t kGuardCells = 16;

  explicit GuardedBuffer(std::size_t capacity) : capacity_(capacity), cells_(new wchar_t[capacity + kGuardCells]) {
    for (std::size_t i = 0; i < capacity + kGuardCells; ++i) cells_[i] = kCanary;
    ASAN_POISON_MEMORY_REGION(guard(), kGuardCells * sizeof(wchar_t));
  }
  ~GuardedBuffer() { ASAN_UNPOISON_MEMORY_REGION(guard(), kGuardCells * sizeof(wchar_t)); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  wchar_t* data() { return cells_.get(); }
  std::size_t capacity() const { return capacity_; }

  bool GuardIntact() const {
    ASAN_UNPOISON_MEMORY_REGION(guard(), kGuardCells * sizeof(wchar_t));
    bool intact = true;
    for (std::size_t i = 0; i < kGuardCells; ++i) intact = intact && guard()[i] == kCanary;
    ASAN_POISON_MEMORY_REGION(guard(), kGuardCells * sizeof(wchar_t));
    return intact;
  }

  // True when none of the first `count` writable cells was written.
  bool Untouched(std::size_t count) const {
    for (std::size_t i = 0; i < count && i < capacity_; ++i) {
      if (cells_[i] != kCanary) return false;
    }
    return true;
  }

 private:
  wchar_t* guard() const { return cells_.get() + capacity_; }

  std::size_t capacity_;
  std::unique_ptr<wchar_t[]> cells_;
};

// A null-terminated copy of `text` in a heap block of exactly its length plus
// one, so that a read past the terminator is out of bounds.
class ExactText {
 public:
  explicit ExactText(const std::wstring& text) : cells_(new wchar_t[text.size() + 1]) {
    for (std::size_t i = 0; i < text.size(); ++i) cells_[i] = text[i];
    cells_[text.size()] = L'\0';
  }
  wchar_t* get() const { return cells_.get(); }

 private:
  std::unique_ptr<wchar_t[]> cells_;
};

// `count` code units without a terminator, in a block of exactly that size.
class ExactUnits {
 public:
  explicit ExactUnits(const std::wstring& units) : count_(units.size()), cells_(new wchar_t[units.size()]) {
    for (std::size_t i = 0; i < count_; ++i) cells_[i] = units[i];
  }
  const wchar_t* get() const { return cells_.get(); }
  std::size_t size() const { return count_; }

 private:
  std::size_t count_;
  std::unique_ptr<wchar_t[]> cells_;
};

}  // namespace native
