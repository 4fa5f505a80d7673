#pragma once
// The automatic update: find every hub on the machine's USB serial ports,
// fetch the manifest and stable list from the firmware server, choose a
// package (or let the user choose with --prompt) and update the chosen hubs.

#include <cstdint>

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

// Returns 0 after the update pass, -1 when no hub was found or no valid
// package could be loaded (message printed).
int action_update_auto();

// Probes every port of serial_find_ports once, one port open at a time.
auto_detect *auto_detect_hubs();
void auto_detect_free(auto_detect *list);

// Downloads and parses "/firmware/manifest"; null (after "Unable to download
// firmware list") when the download failed, or when no line was usable.
auto_ufw_manifest *auto_load_ufw_manifest();
void auto_ufw_manifest_free(auto_ufw_manifest *list);
// Parses a manifest text in place (test seam for the downloader above).
auto_ufw_manifest *auto_parse_ufw_manifest(char *text);

// Downloads and parses "/firmware/stable"; null (after "Unable to download
// firmware stable list") when the download failed.
auto_ufw_stable_list *auto_load_ufw_stable_list();
void auto_ufw_stable_list_free(auto_ufw_stable_list *list);
auto_ufw_stable_list *auto_parse_ufw_stable_list(char *text);
