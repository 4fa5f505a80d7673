#pragma once
// How trelk knows it is the same hub: the USB identity of a serial port.
//
// USB re-enumerates. A hub that restarts into its bootloaders, or whose cable
// is pulled, comes back under whatever ttyUSB name the kernel hands out next,
// and another device may get its old name. A port path therefore names no
// hub. What stays with a hub is what USB says about the device behind its
// tty: the socket it sits in, its vendor and product, its serial number and
// the interface the tty belongs to. The serial link (serial.h) takes that
// identity at its first open and, at every later open, looks for the tty
// with it here, wherever it now is; a device with another identity is never
// opened.
//
// Where each field comes from: the tty's usb_interface parent and the
// usb_device that is that interface's own parent, read from their sysfs
// attribute files (idVendor, idProduct, serial, busnum, bInterfaceNumber; the
// usb_device's sysname is the socket, "1-3.2"). Only sysfs is read: the udev
// database's ID_* properties and the /dev/serial/by-id links exist only
// where a udev daemon runs, and trelk must work where none does.
//
// The USB device number (devnum) is never part of an identity: the kernel
// gives a new one at every enumeration, so the hub's own return would look
// like another device.
//
// The choice (usb_hub_choice): a serial that is present, not a placeholder
// and unique among the attached devices of the hub's vendor and product finds
// the hub in any socket; several devices with that serial are told apart by
// the socket; without a usable serial only the same socket (with the same
// vendor, product and serial, if any) is the hub. A device whose serial
// differs from a usable one is never the hub, even in the hub's old socket.
// Placeholder serials are what cheap bridges ship with and cannot tell two
// bridges apart: empty, one character repeated ("0000"), or a run of
// consecutive digits and letters ("0123456789").
//
// Without /sys (or without a USB parent: a pseudo-terminal, a built-in UART)
// a port has no identity (known 0) and is reopened by its path, as it always
// was; the look for a hub then finds nothing.
//
// Threads: every function reads sysfs only and keeps no state; any thread
// may call them (the link's reader thread does, twice a second while a hub
// is away).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t USB_PATH_CAPACITY = 64;
inline constexpr size_t USB_SERIAL_CAPACITY = 256;

// What USB says about the device behind a tty.
struct usb_identity {
  uint8_t known;                     // 0: no USB parent (pseudo-terminal, built-in UART)
  char usb_path[USB_PATH_CAPACITY];  // usb_device sysname ("1-3.2"): the socket it sits in
  int32_t busnum;
  uint16_t vendor;                   // idVendor
  uint16_t product;                  // idProduct
  uint8_t has_serial;                // the device has a "serial" attribute
  char serial[USB_SERIAL_CAPACITY];  // its value ("" when absent)
  int32_t interface;                 // bInterfaceNumber of the tty's interface; -1 unknown
};

// One tty that is the hub: its device node ("/dev/ttyUSB1") and number.
struct usb_port_match {
  std::string devnode;
  dev_t rdev;
};

// The identity of the tty with character device number `rdev` (st_rdev of an
// opened port, or of a device node). Returns 1 and fills *id; 0, with
// id->known 0, when the tty has no USB parent or sysfs does not show it.
int usb_identity_of(dev_t rdev, usb_identity *id);

// 1 when `serial` is a placeholder that cannot tell two bridges apart (see
// above), else 0.
int usb_serial_is_placeholder(const char *serial);

// "USB 1-3, 0403:6001, serial AB12" ("no serial" when it has none), or "no
// USB identity": for messages.
std::string usb_identity_text(const usb_identity &id);

// The devices among `attached` (usb_devices: interface ignored) that are the
// hub `hub` by the choice rules above, as indices into `attached`. Pure;
// declared for tests.
std::vector<size_t> usb_hub_choice(const usb_identity &hub,
                                   const std::vector<usb_identity> &attached);

// The ttys attached now that are the hub `hub`: the usb_devices chosen by
// usb_hub_choice, and below them the ttys of the hub's interface. Empty when
// none is, when `hub` is not known, or when sysfs cannot be read.
std::vector<usb_port_match> usb_find_hub(const usb_identity &hub);
