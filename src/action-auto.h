#pragma once
// The automatic update: find every hub on the machine's USB serial ports,
// fetch the manifest and stable list from the firmware server, choose a
// package (or let the user choose with --prompt) and update the chosen hubs.

#include <cstdint>
#include <cstdio>

#include "serial.h"

// Capacity of the download buffer of the manifest and of the stable list.
inline constexpr int AUTO_DOCUMENT_SIZE = 102400;

// One hub found by the search, in probing order.
struct auto_detect {
  char port[256];
  uint8_t in_bootloader;
  uint16_t hub_code;
  char name[128];
  uint16_t fw_version;
  char serial_number[18];
  uint8_t selected;
  auto_detect *next;
  // What USB says about the hub's port at the search: the update pass finds
  // the hub by it, even under another name (known 0 for a port without one).
  usb_identity usb;
};

// One published package of the manifest, in line order.
struct auto_ufw_manifest {
  int32_t version;
  char file_name[64];
  int32_t size;
  char label[32];
  auto_ufw_manifest *next;
};

// The stable version of one hub model, in line order.
struct auto_ufw_stable_list {
  uint16_t hub_code;
  uint16_t version;
  auto_ufw_stable_list *next;
};

// Sets options.force, finds the hubs, chooses and loads a package and updates
// the chosen hubs one after the other. Returns 0 after the update pass (hubs
// that could not be opened, switched or fitted are reported and skipped), -1
// when no hub was found, no valid package could be loaded, or standard input
// ended at a prompt (message printed). Releases everything it opened. An
// upload that fails beyond its retry limits ends the process with status 1.
// Main thread only, like everything here.
int action_update_auto();

// Probes every port of serial_find_ports once, one port open at a time, and
// returns the hubs found (null for none). Each _free below releases a whole
// list and accepts null.
auto_detect *auto_detect_hubs();
void auto_detect_free(auto_detect *list);

// Downloads "/firmware/manifest" into an AUTO_DOCUMENT_SIZE buffer and parses
// it; null (after "Unable to download firmware list" on stderr) when the
// download failed, or without a message when no line was usable.
auto_ufw_manifest *auto_load_ufw_manifest();
void auto_ufw_manifest_free(auto_ufw_manifest *list);
// Parses a manifest text in place (line feeds and field commas become zeros);
// lines without three commas are skipped. The loader's own step, open to tests.
auto_ufw_manifest *auto_parse_ufw_manifest(char *text);

// Downloads "/firmware/stable" as above and parses it; null (after "Unable to
// download firmware stable list" on stderr) when the download failed.
auto_ufw_stable_list *auto_load_ufw_stable_list();
void auto_ufw_stable_list_free(auto_ufw_stable_list *list);
// Parses a stable list in place: one entry per non-empty line, scanned with
// "%hx,%hu" (fields the scan does not reach stay 0).
auto_ufw_stable_list *auto_parse_ufw_stable_list(char *text);

// One prompt of --prompt: prints `prompt` and reads decimal numbers from `in`
// with scanf "%d" rules until one lies in 1..`highest`. A line that holds no
// number is discarded; an out-of-range number is simply asked for again; what
// follows an accepted number stays in `in`. Returns the number, or -1 when `in`
// ended first (nothing printed here).
int auto_prompt_number(FILE *in, const char *prompt, int highest);

// The package taken without --prompt: the first stable-list entry for
// `first_hub`'s model gives the version (none, or 0, means no stable version);
// with one, the first manifest entry of that version or null when the manifest
// lacks it; without one, the first manifest entry (null for an empty manifest).
const auto_ufw_manifest *auto_choose_stable_entry(const auto_detect *first_hub,
                                                  const auto_ufw_manifest *manifest,
                                                  const auto_ufw_stable_list *stable);
