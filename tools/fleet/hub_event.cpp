#include "hub_event.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

port_node port_node_of(const std::string &path) {
  struct stat target{}, name{};
  if (stat(path.c_str(), &target) != 0 || !S_ISCHR(target.st_mode) ||
      lstat(path.c_str(), &name) != 0)
    return {};
  return {static_cast<uint64_t>(target.st_rdev), static_cast<uint64_t>(target.st_ino),
          static_cast<uint64_t>(name.st_ino)};
}

hub_event hub_event_make(event_kind kind) {
  hub_event event{};
  event.kind = kind;
  return event;
}

hub_event hub_event_identity(const device *dev) {
  hub_event event = hub_event_make(event_kind::identity);
  event.in_bootloader = dev->in_bootloader;
  event.hub_code = dev->hub_code;
  event.fw_version = dev->fw_version;
  std::strncpy(event.serial, dev->serial_number, sizeof event.serial - 1);
  const int count = device_board_limit(dev->board_count);
  event.board_count = count;
  for (int b = 1; b <= count; ++b) {
    event.board_types[b] = dev->boards[b].board_type;
    event.board_versions[b] = dev->boards[b].fw_version;
  }
  event.usb = serial_hub_identity(dev->serial);
  event.self = device_hub_self(dev);
  return event;
}

void hub_event_set_reason(hub_event *event, const std::string &text) {
  const size_t n = std::min(text.size(), sizeof event->reason - 1);
  std::memcpy(event->reason, text.data(), n);
  event->reason[n] = '\0';
}

int hub_event_send(int fd, const hub_event &event) {
  for (;;) {
    const ssize_t written = write(fd, &event, sizeof event);
    if (written == static_cast<ssize_t>(sizeof event)) return 1;
    if (written < 0 && errno == EINTR) continue;
    return 0;
  }
}

int hub_event_pop(std::string *buffer, hub_event *event) {
  if (buffer->size() < sizeof *event) return 0;
  std::memcpy(event, buffer->data(), sizeof *event);
  buffer->erase(0, sizeof *event);
  // The texts come from another process: never trust their terminators.
  event->serial[sizeof event->serial - 1] = '\0';
  event->boot_serial[sizeof event->boot_serial - 1] = '\0';
  event->firmware_serial[sizeof event->firmware_serial - 1] = '\0';
  event->reason[sizeof event->reason - 1] = '\0';
  event->final_port[sizeof event->final_port - 1] = '\0';
  event->usb.usb_path[sizeof event->usb.usb_path - 1] = '\0';
  event->usb.serial[sizeof event->usb.serial - 1] = '\0';
  return 1;
}
