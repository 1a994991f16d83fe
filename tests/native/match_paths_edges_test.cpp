// The hardware-ID match and the package path derivation under the
// sanitizers: exact-size inputs, so any read past a terminator or a buffer's
// capacity is caught.
#include <gtest/gtest.h>

#include <string>

#include "app/driver_paths.h"
#include "device/hardware_id_match.h"
#include "guarded_buffer.h"

namespace {

using native::ExactText;
using native::ExactUnits;

TEST(HardwareIdMatchEdgeTest, ContainmentAtEveryPositionAndLength) {
  const std::wstring id = L"usb\\vid_05ac&pid_12a8\\0000111122223333";
  ExactText instance(id);
  for (std::size_t from = 0; from <= id.size(); ++from) {
    for (std::size_t length = 1; from + length <= id.size(); ++length) {
      ExactText part(id.substr(from, length));
      ASSERT_TRUE(device::HoldsHardwareId(instance.get(), part.get())) << from << "+" << length;
    }
  }
  ExactText longer(id + L"x");
  EXPECT_FALSE(device::HoldsHardwareId(instance.get(), longer.get()));
  ExactText empty(L"");
  EXPECT_FALSE(device::HoldsHardwareId(empty.get(), ExactText(L"u").get()));
}

TEST(HardwareIdMatchEdgeTest, LowerCasingFoldsOnlyAToZ) {
  ExactText mixed(L"USB\\VID_05AC&Pid_12A8\\\x00C9\x0130Z");
  EXPECT_EQ(device::LowerInstanceId(mixed.get()), L"usb\\vid_05ac&pid_12a8\\\x00C9\x0130z");
  ExactText empty(L"");
  EXPECT_EQ(device::LowerInstanceId(empty.get()), L"");
}

struct Derived {
  app::PathBuffer network;
  app::PathBuffer usb;
};

Derived Derive(const std::wstring& units, std::size_t capacity) {
  ExactUnits systemDir(units);
  Derived paths;
  app::DerivePackagePaths(systemDir.get(), capacity, paths.network, paths.usb);
  return paths;
}

TEST(DerivePathsEdgeTest, PrefixByPositionNeverReadsPastTheBuffer) {
  const std::wstring usbSuffix = app::kUsbInfSuffix;
  // Buffers of exactly 0 to 4 units, with no terminator inside: the prefix
  // stops at the capacity.
  const std::wstring letters = L"XYZW";
  for (std::size_t capacity = 0; capacity <= 4; ++capacity) {
    const Derived paths = Derive(letters.substr(0, capacity), capacity);
    const std::wstring prefix = letters.substr(0, capacity < 3 ? capacity : 3);
    EXPECT_EQ(std::wstring(paths.usb.get()), prefix + usbSuffix) << capacity;
    EXPECT_EQ(paths.usb.capacity, prefix.size() + usbSuffix.size() + 1);
  }
  // A terminator before the third unit ends the prefix there.
  EXPECT_EQ(std::wstring(Derive(std::wstring(L"C\0\\W", 4), 4).usb.get()), L"C" + usbSuffix);
  EXPECT_EQ(std::wstring(Derive(std::wstring(L"C:\\Windows\\system32\0", 20), 20).network.get()),
            L"C:\\" + std::wstring(app::kNetworkInfSuffix));
}

}  // namespace
