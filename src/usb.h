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
// USB identity only says where to look for the hub, never that what is
// there is the hub: many bridges have no serial number, cheap ones share
// one across every unit. What decides is what the hub says of itself on the
// port (device.h, device_hub_shows_itself); until it has, only the
// detection's probes go to a port that came back or was found anew.
//
// The choice (usb_hub_choice): a usable serial finds the hub in any socket;
// without one only the same socket (with the same vendor, product and
// serial, if any) is the hub. A device whose serial differs from the hub's
// is never the hub, even in the hub's old socket. A serial is usable when it
// is present, not a placeholder, and never seen on more than one device in
// any look of this run: a serial that two devices carried once cannot tell
// them apart later, when one of them is away. Every look (usb_find_hub,
// usb_look_at_machine, usb_serial_identifies) is remembered from the run's
// first open on (usb_note_look); a program that starts other processes for
// hubs (trelk-fleet) passes its memory on (usb_shared_serials,
// usb_remember_shared_serials). Placeholder serials are what cheap bridges
// ship with and cannot tell two bridges apart: empty, one character repeated
// ("0000"), or a run of consecutive digits and letters ("0123456789").
//
// Without /sys (or without a USB parent: a pseudo-terminal, a built-in UART)
// a port has no identity (known 0) and is reopened by its path, as it always
// was; the look for a hub then finds nothing.
//
// Threads: every function reads sysfs afresh; the only state is the run's
// memory of shared serials, behind a lock. Any thread may call them (the
// link's reader thread does, twice a second while a hub is away).

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
// hub `hub` by the choice rules above, as indices into `attached`. Reads the
// run's memory of shared serials and counts the carriers of the hub's serial
// among `attached`; declared for tests.
std::vector<size_t> usb_hub_choice(const usb_identity &hub,
                                   const std::vector<usb_identity> &attached);

// The ttys attached now that are the hub `hub`: the usb_devices chosen by
// usb_hub_choice, and below them the ttys of the hub's interface. Empty when
// none is, when `hub` is not known, or when sysfs cannot be read. With
// `look_alikes` and no match: the ttys of other devices that carry the hub's
// (non-placeholder) serial, which the link names while it waits. The look is
// remembered.
std::vector<usb_port_match> usb_find_hub(const usb_identity &hub,
                                         std::vector<usb_port_match> *look_alikes = nullptr);

// Remembers one look: every serial that more than one of `devices` carries
// is shared for the rest of the run.
void usb_note_look(const std::vector<usb_identity> &devices);
// One look at every USB device attached now, remembered. Nothing when sysfs
// cannot be read.
void usb_look_at_machine();
// 1 when `serial` was seen on more than one device in a look of this run.
int usb_serial_is_shared(const char *serial);
// The run's shared serials, to pass to another process; and taking them in.
std::vector<std::string> usb_shared_serials();
void usb_remember_shared_serials(const std::vector<std::string> &serials);
// 1 when `id`'s serial alone tells its device from every other: usable by
// the rules above after a fresh look at the machine (remembered). 0 for no
// identity, no serial, a placeholder or a shared serial.
int usb_serial_identifies(const usb_identity &id);
