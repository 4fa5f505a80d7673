// The USB identity's pure rules: which serials cannot tell bridges apart,
// which attached device is the hub, and how an identity is named in
// messages. What libudev reads from a /sys tree is tests/unit/fake_usb_test.

#include "usb.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

usb_identity bridge(const char *usb_path, const char *serial, uint16_t product = 0x6001) {
  usb_identity id{};
  id.known = 1;
  std::snprintf(id.usb_path, sizeof id.usb_path, "%s", usb_path);
  id.busnum = 1;
  id.vendor = 0x0403;
  id.product = product;
  id.has_serial = serial != nullptr;
  if (serial != nullptr) std::snprintf(id.serial, sizeof id.serial, "%s", serial);
  id.interface = 0;
  return id;
}

TEST(UsbIdentity, SerialsThatCannotTellBridgesApart) {
  for (const char *placeholder : {"", "0", "0000", "FFFFFFFF", "0123456789", "123456789ABC", "abcd",
                                  "WXYZ", "uvwxyz"})
    EXPECT_EQ(usb_serial_is_placeholder(placeholder), 1) << placeholder;
  for (const char *real : {"AB12", "A1B2C3D4", "0001", "FT5XK2QZ", "12"})
    EXPECT_EQ(usb_serial_is_placeholder(real), 0) << real;
}

// Which attached devices are the hub: a usable serial finds it in any socket
// and is never overruled by the socket; without one the socket decides.
TEST(UsbIdentity, TheHubIsChosenByItsSerialOrElseByItsSocket) {
  using v = std::vector<size_t>;
  const usb_identity hub = bridge("1-3", "AB12");
  // Moved to another socket; a stranger now in its old one.
  EXPECT_EQ(usb_hub_choice(hub, {bridge("1-3", "CD34"), bridge("1-5", "AB12")}), v{1});
  EXPECT_EQ(usb_hub_choice(hub, {bridge("1-3", "CD34")}), v{});
  // A serial two devices carry (of any product) is no serial: the socket
  // alone finds the hub, and neither look-alike elsewhere is it.
  EXPECT_EQ(usb_hub_choice(hub, {bridge("1-3", "CD34"), bridge("1-5", "AB12"),
                                 bridge("1-6", "AB12", 0x6015)}),
            v{});
  EXPECT_EQ(usb_hub_choice(hub, {bridge("1-5", "AB12"), bridge("1-3", "AB12")}), v{1});
  EXPECT_EQ(usb_hub_choice(hub, {bridge("1-5", "AB12"), bridge("1-4", "AB12")}), v{});
  // No serial, or a placeholder: the socket alone (with the same serial).
  const usb_identity bare = bridge("1-3", nullptr);
  EXPECT_EQ(usb_hub_choice(bare, {bridge("1-4", nullptr), bridge("1-3", nullptr)}), v{1});
  EXPECT_EQ(usb_hub_choice(bare, {bridge("1-3", "XY99")}), v{});
  const usb_identity zeros = bridge("1-3", "0000");
  EXPECT_EQ(usb_hub_choice(zeros, {bridge("1-4", "0000"), bridge("1-3", "0000")}), v{1});
  EXPECT_EQ(usb_identity_text(hub), "USB 1-3, 0403:6001, serial AB12");
  EXPECT_EQ(usb_identity_text(bare), "USB 1-3, 0403:6001, no serial");
  EXPECT_EQ(usb_identity_text(usb_identity{}), "no USB identity");
}

// A serial seen on two devices in any look of the run stays no serial for
// the rest of it, when one of them is away and the other alone carries it.
TEST(UsbIdentity, ASerialOnceSeenTwiceFindsTheHubOnlyInItsSocket) {
  using v = std::vector<size_t>;
  const usb_identity hub = bridge("1-3", "RUN42");
  // Alone, a moved hub is found by its serial: nothing shares it yet.
  EXPECT_EQ(usb_hub_choice(hub, {bridge("1-4", "RUN42")}), v{0});
  EXPECT_EQ(usb_serial_is_shared("RUN42"), 0);
  usb_note_look({bridge("1-3", "RUN42"), bridge("1-7", "OTHER"), bridge("1-4", "RUN42")});
  EXPECT_EQ(usb_serial_is_shared("RUN42"), 1);
  EXPECT_EQ(usb_serial_is_shared("OTHER"), 0);
  EXPECT_EQ(usb_hub_choice(hub, {bridge("1-4", "RUN42")}), v{});
  EXPECT_EQ(usb_hub_choice(hub, {bridge("1-4", "RUN42"), bridge("1-3", "RUN42")}), v{1});
  // What another process passes on is remembered alike; no serial at all,
  // or an empty one, is never counted.
  usb_remember_shared_serials({"PASSED7", ""});
  EXPECT_EQ(usb_serial_is_shared("PASSED7"), 1);
  usb_note_look({bridge("1-3", nullptr), bridge("1-4", nullptr), bridge("1-5", ""), bridge("1-6", "")});
  EXPECT_EQ(usb_serial_is_shared(""), 0);
  const std::vector<std::string> shared = usb_shared_serials();
  EXPECT_EQ(shared, (std::vector<std::string>{"PASSED7", "RUN42"}));
  // Without /sys nothing identifies a device by its serial.
  EXPECT_EQ(usb_serial_identifies(usb_identity{}), 0);
}

}  // namespace
