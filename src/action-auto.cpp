#include "action-auto.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "device.h"
#include "functions.h"
#include "http.h"
#include "options.h"
#include "serial.h"
#include "ufw.h"

namespace {

// The firmware prompt lists only the newest few packages of the manifest.
constexpr int AUTO_PROMPT_FIRMWARE_ENTRIES = 5;

// Walks the lines of a downloaded text in place: every line feed becomes a
// zero and `handle` sees each non-empty line once, in order. Runs of line
// feeds therefore count as one separator.
template <typename Handler>
void for_each_line(char *text, Handler handle) {
  char *line = text;
  while (*line != '\0') {
    char *end = std::strchr(line, '\n');
    if (end != nullptr) *end = '\0';
    if (*line != '\0') handle(line);
    if (end == nullptr) break;
    line = end + 1;
  }
}

// A comma searched for from `from`, which may be the line's terminator (then
// nothing is found; the search never passes the end of the line).
char *find_comma(char *from) { return std::strchr(from, ','); }

// Fetches `path` from the firmware server into a fresh document buffer.
// Returns the buffer, or null after printing `failure`.
std::unique_ptr<char[]> download_document(const char *path, const char *failure) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[AUTO_DOCUMENT_SIZE]);
  if (!buffer || http_get(http_firmware_host(), path, buffer.get(), AUTO_DOCUMENT_SIZE) != 1) {
    print_error("%s", failure);
    return nullptr;
  }
  return buffer;
}

enum class scan_result { number, none, end };

// One "%d" conversion as scanf makes it: white space (line feeds included) is
// skipped, then an optional sign and decimal digits; the first character that
// does not fit is left in the stream. A value beyond int saturates.
scan_result scan_decimal(FILE *in, int *value) {
  int c;
  do c = std::getc(in);
  while (c != EOF && std::isspace(c));
  if (c == EOF) return scan_result::end;

  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = std::getc(in);
    if (c == EOF) return scan_result::end;
  }
  if (!std::isdigit(c)) {
    std::ungetc(c, in);
    return scan_result::none;
  }
  long long magnitude = 0;
  while (c != EOF && std::isdigit(c)) {
    if (magnitude <= INT_MAX) magnitude = magnitude * 10 + (c - '0');
    c = std::getc(in);
  }
  if (c != EOF) std::ungetc(c, in);
  if (negative) magnitude = -magnitude;
  if (magnitude > INT_MAX) magnitude = INT_MAX;
  if (magnitude < INT_MIN) magnitude = INT_MIN;
  *value = static_cast<int>(magnitude);
  return scan_result::number;
}

// The three lists are linked through `next` and appended at the tail.
template <typename Entry>
void append_entry(Entry **head, Entry **tail, Entry *entry) {
  if (*tail == nullptr)
    *head = entry;
  else
    (*tail)->next = entry;
  *tail = entry;
}

// Releases a list entry by entry, taking each successor first.
template <typename Entry>
void free_list(Entry *list) {
  while (list != nullptr) {
    Entry *next = list->next;
    std::free(list);
    list = next;
  }
}

}  // namespace

const auto_ufw_manifest *auto_choose_stable_entry(const auto_detect *first_hub,
                                                  const auto_ufw_manifest *manifest,
                                                  const auto_ufw_stable_list *stable) {
  uint16_t stable_version = 0;
  for (const auto_ufw_stable_list *s = stable; s != nullptr; s = s->next) {
    if (s->hub_code == first_hub->hub_code) {
      stable_version = s->version;
      break;
    }
  }
  if (stable_version == 0) return manifest;
  for (const auto_ufw_manifest *m = manifest; m != nullptr; m = m->next)
    if (m->version == stable_version) return m;
  return nullptr;
}

int auto_prompt_number(FILE *in, const char *prompt, int highest) {
  int answer = 0;
  while (answer < 1 || answer > highest) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    switch (scan_decimal(in, &answer)) {
      case scan_result::end:
        return -1;
      case scan_result::none: {
        answer = 0;
        int c;
        do c = std::getc(in);
        while (c != EOF && c != '\n');
        if (c == EOF) return -1;
        break;
      }
      case scan_result::number:
        break;
    }
  }
  return answer;
}

auto_detect *auto_detect_hubs() {
  char *ports = serial_find_ports();
  if (ports == nullptr) return nullptr;

  auto_detect *head = nullptr;
  auto_detect *tail = nullptr;
  for (const char *port = ports; *port != '\0'; port += std::strlen(port) + 1) {
    device *dev = device_create_from_port(port);
    if (dev == nullptr) continue;
    if (dev->detected) {
      auto *entry = static_cast<auto_detect *>(std::calloc(1, sizeof(auto_detect)));
      if (entry != nullptr) {
        copy_text(entry->port, sizeof entry->port, port);
        entry->in_bootloader = dev->in_bootloader;
        entry->hub_code = dev->hub_code;
        copy_text(entry->name, sizeof entry->name, dev->name);
        entry->fw_version = dev->fw_version;
        // The field holds 17 characters; a longer serial number is cut.
        copy_text(entry->serial_number, sizeof entry->serial_number, dev->serial_number);
        entry->usb = serial_hub_identity(dev->serial);
        append_entry(&head, &tail, entry);
      } else {
        print_no_memory();
      }
    }
    // Only one port is open at a time during the search.
    device_free(dev);
  }
  string_list_free(ports);
  return head;
}

void auto_detect_free(auto_detect *list) { free_list(list); }

auto_ufw_manifest *auto_parse_ufw_manifest(char *text) {
  auto_ufw_manifest *head = nullptr;
  auto_ufw_manifest *tail = nullptr;
  for_each_line(text, [&](char *line) {
    // Fields 2 and 3 are at least one character long: the search for the
    // comma that ends each begins at its second character.
    char *first = find_comma(line);
    if (first == nullptr || first[1] == '\0') return;
    char *second = find_comma(first + 2);
    if (second == nullptr || second[1] == '\0') return;
    char *third = find_comma(second + 2);
    if (third == nullptr) return;
    *first = *second = *third = '\0';

    auto *entry = static_cast<auto_ufw_manifest *>(std::calloc(1, sizeof(auto_ufw_manifest)));
    if (entry == nullptr) {
      print_no_memory();
      return;
    }
    entry->version = read_decimal(line);
    copy_text(entry->file_name, sizeof entry->file_name, first + 1);
    entry->size = read_decimal(second + 1);
    copy_text(entry->label, sizeof entry->label, third + 1);
    append_entry(&head, &tail, entry);
  });
  return head;
}

auto_ufw_manifest *auto_load_ufw_manifest() {
  auto text = download_document("/firmware/manifest", "Unable to download firmware list\n");
  if (!text) return nullptr;
  return auto_parse_ufw_manifest(text.get());
}

void auto_ufw_manifest_free(auto_ufw_manifest *list) { free_list(list); }

auto_ufw_stable_list *auto_parse_ufw_stable_list(char *text) {
  auto_ufw_stable_list *head = nullptr;
  auto_ufw_stable_list *tail = nullptr;
  for_each_line(text, [&](char *line) {
    auto *entry =
        static_cast<auto_ufw_stable_list *>(std::calloc(1, sizeof(auto_ufw_stable_list)));
    if (entry == nullptr) {
      print_no_memory();
      return;
    }
    // A line that does not fit keeps 0 in every field the scan did not reach.
    std::sscanf(line, "%hx,%hu", &entry->hub_code, &entry->version);
    append_entry(&head, &tail, entry);
  });
  return head;
}

auto_ufw_stable_list *auto_load_ufw_stable_list() {
  auto text = download_document("/firmware/stable", "Unable to download firmware stable list\n");
  if (!text) return nullptr;
  return auto_parse_ufw_stable_list(text.get());
}

void auto_ufw_stable_list_free(auto_ufw_stable_list *list) { free_list(list); }

namespace {

// Marks the hubs to update: with the prompt, the one the user picks; else
// every one found. False when the prompt got no answer (said so).
bool select_hubs(auto_detect *hubs) {
  if (!options.prompt) {
    for (auto_detect *h = hubs; h != nullptr; h = h->next) h->selected = 1;
    return true;
  }
  std::printf("\nPlease choose which device to update\n");
  int count = 0;
  for (const auto_detect *h = hubs; h != nullptr; h = h->next) {
    // The USB socket tells hubs of one model apart in a rack.
    if (h->usb.known)
      std::printf("  %d) %s (s/n %s) on port %s (USB %s)\n", ++count, h->name, h->serial_number,
                  h->port, h->usb.usb_path);
    else
      std::printf("  %d) %s (s/n %s) on port %s\n", ++count, h->name, h->serial_number, h->port);
  }
  const int chosen = auto_prompt_number(stdin, "Device: ", count);
  if (chosen < 0) {
    std::printf("\n");
    print_error("ERROR: No device was chosen\n");
    return false;
  }
  int number = 0;
  for (auto_detect *h = hubs; h != nullptr; h = h->next) h->selected = ++number == chosen;
  return true;
}

// Sets *entry to the package to fetch: with the prompt, the one the user
// picks among the newest; else the first hub's stable one. It stays null when
// there is none. False when the prompt got no answer (said so).
bool choose_firmware(const auto_detect *hubs, const auto_ufw_manifest *manifest,
                     const auto_ufw_stable_list *stable, const auto_ufw_manifest **entry) {
  if (!options.prompt) {
    *entry = auto_choose_stable_entry(hubs, manifest, stable);
    return true;
  }
  // With no entry no answer could be accepted: the prompt is not shown.
  if (manifest == nullptr) return true;
  std::printf("\nPlease choose which firmware to use\n");
  int count = 0;
  for (const auto_ufw_manifest *m = manifest; m != nullptr && count < AUTO_PROMPT_FIRMWARE_ENTRIES;
       m = m->next)
    std::printf("  %d) v%d.%02d (%s)\n", ++count, m->version / 100, m->version % 100, m->label);
  const int chosen = auto_prompt_number(stdin, "Firmware: ", count);
  if (chosen < 0) {
    std::printf("\n");
    print_error("ERROR: No firmware was chosen\n");
    return false;
  }
  *entry = manifest;
  for (int i = 1; i < chosen; ++i) *entry = (*entry)->next;
  return true;
}

// Uploads the package to every selected hub, one after the other. Records
// opened by the pass go into `opened` and stay open until the caller frees
// them, so the ports of earlier hubs stay held while later ones are updated.
void update_selected_hubs(const auto_detect *hubs, ufw *package, std::vector<device *> *opened) {
  for (const auto_detect *h = hubs; h != nullptr; h = h->next) {
    if (!h->selected) continue;
    if (h->name[0] != '\0')
      std::printf("\nUpdating device %s (%s) on %s with v%d.%02d\n", h->name, h->serial_number,
                  h->port, package->version / 100, package->version % 100);
    else
      std::printf("\nUpdating device %s (%04x) with v%d.%02d\n", h->port, h->hub_code,
                  package->version / 100, package->version % 100);
    std::fflush(stdout);

    // The hub the search found, even if USB gave its name to another device.
    device *dev = device_create_following(h->port, &h->usb);
    if (dev == nullptr) {
      std::printf("Unable to open hub on port %s\n", h->port);
      std::fflush(stdout);
      continue;
    }
    opened->push_back(dev);
    // The automatic update always switches a hub found in normal mode.
    if (dev->in_bootloader != 1) device_switch_to_bootloader(dev);
    if (!device_is_bootloader_ready(dev)) {
      std::printf("Unable to open hub in bootloader mode on port %s\n", h->port);
      std::fflush(stdout);
      continue;
    }
    // A hub whose boards the package does not cover is refused by the upload
    // (which says so); the pass goes on with the next hub.
    device_do_firmware_update(dev, package);
  }
}

}  // namespace

int action_update_auto() {
  // The chosen package is uploaded as it is: no version check against a hub.
  options.force = 1;

  std::puts("Searching for attached hubs, please wait...");
  std::fflush(stdout);
  auto_detect *hubs = auto_detect_hubs();
  if (hubs == nullptr) {
    print_error("ERROR: Unable to find any Varnholt hubs.\n");
    return -1;
  }
  if (!select_hubs(hubs)) {
    auto_detect_free(hubs);
    return -1;
  }

  // Both documents are always fetched, whatever the mode or the first result.
  auto_ufw_manifest *manifest = auto_load_ufw_manifest();
  auto_ufw_stable_list *stable = auto_load_ufw_stable_list();

  auto release_lists = [&] {
    auto_detect_free(hubs);
    auto_ufw_manifest_free(manifest);
    auto_ufw_stable_list_free(stable);
  };

  const auto_ufw_manifest *entry = nullptr;
  if (!choose_firmware(hubs, manifest, stable, &entry)) {
    release_lists();
    return -1;
  }

  unique_ufw package;
  ufw_load_http(entry, package.get());
  if (package->valid != 1) {
    print_error("ERROR: Invalid firmware\n");
    release_lists();
    return -1;
  }

  std::vector<device *> opened;
  update_selected_hubs(hubs, package.get(), &opened);
  release_lists();
  for (device *dev : opened) device_free(dev);
  return 0;
}
