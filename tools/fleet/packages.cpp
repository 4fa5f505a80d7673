#include "packages.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "device.h"
#include "fetch_job.h"
#include "files.h"
#include "functions.h"
#include "http.h"
#include "sha256.h"

namespace {

// A document checked against one list: a list that names it must give its
// digest. False after the message.
bool document_passes(const checksum_list *list, const std::string &name, const std::string &text,
                     const std::string &location) {
  if (list == nullptr || list->check(name, sha256_hex(text)) != checksum_verdict::mismatch)
    return true;
  print_error("trelk-fleet: %s: digest mismatch with %s\n", location.c_str(), list->path().c_str());
  return false;
}

// The documents of a source other than the built-in host; false after one
// message.
bool fetch_documents(firmware_source &source, const package_checks &checks, int stop_fd,
                     firmware_documents *documents) {
  for (auto [name, text] : {std::pair{"manifest", &documents->manifest_text},
                            std::pair{"stable", &documents->stable_text}}) {
    fetched_file file = fetch_in_child(
        [&source, name = name] { return source.fetch(name, FLEET_DOCUMENT_LIMIT); }, stop_fd);
    if (!file.ok) {
      print_error("trelk-fleet: %s: %s\n", source.location(name).c_str(), file.cause.c_str());
      return false;
    }
    *text = std::move(file.text);
  }
  return parse_documents(source, checks, documents);
}

// The built-in host's lists as trelk's own loaders read them (same host,
// limits and messages), written out again line by line for the parent, which
// parses them as it parses any other source's.
fetched_file built_in_lists() {
  fetched_file file;
  std::unique_ptr<auto_ufw_manifest, firmware_documents::manifest_free> manifest(
      auto_load_ufw_manifest());
  // The first fetch's failure is the one to name; "" where both came but
  // one had no usable line.
  if (!manifest) file.cause = http_failure();
  std::unique_ptr<auto_ufw_stable_list, firmware_documents::stable_free> stable(
      auto_load_ufw_stable_list());
  if (!stable && file.cause.empty()) file.cause = http_failure();
  if (!manifest || !stable) return file;
  file.ok = true;
  for (const auto_ufw_manifest *m = manifest.get(); m != nullptr; m = m->next)
    file.text += std::to_string(m->version) + "," + m->file_name + "," + std::to_string(m->size) +
                 "," + m->label + "\n";
  file.text += '\0';
  char line[32];
  for (const auto_ufw_stable_list *s = stable.get(); s != nullptr; s = s->next) {
    std::snprintf(line, sizeof line, "%x,%u\n", s->hub_code, s->version);
    file.text += line;
  }
  return file;
}

// The built-in host's documents, fetched in a child; false when either could
// not be had (the loaders said so, *cause says why where a fetch failed) or
// has no usable line.
bool built_in_documents(int stop_fd, firmware_documents *documents, std::string *cause) {
  const fetched_file file = fetch_in_child(built_in_lists, stop_fd);
  *cause = file.cause;
  const size_t split = file.text.find('\0');
  if (!file.ok || split == std::string::npos) return false;
  std::string manifest = file.text.substr(0, split), stable = file.text.substr(split + 1);
  documents->manifest.reset(auto_parse_ufw_manifest(manifest.data()));
  documents->stable.reset(auto_parse_ufw_stable_list(stable.data()));
  return documents->manifest && documents->stable;
}

}  // namespace

bool parse_documents(const firmware_source &source, const package_checks &checks,
                     firmware_documents *documents) {
  for (auto [name, text] : {std::pair{"manifest", &documents->manifest_text},
                            std::pair{"stable", &documents->stable_text}})
    for (const checksum_list *list : {checks.mirror, checks.trusted})
      if (!document_passes(list, name, *text, source.location(name))) return false;
  // The parsers cut their text apart: they get copies, the texts stay as fetched.
  std::string manifest = documents->manifest_text, stable = documents->stable_text;
  documents->manifest.reset(auto_parse_ufw_manifest(manifest.data()));
  documents->stable.reset(auto_parse_ufw_stable_list(stable.data()));
  for (auto [name, usable] : {std::pair{"manifest", documents->manifest != nullptr},
                              std::pair{"stable", documents->stable != nullptr}}) {
    if (usable) continue;
    print_error("trelk-fleet: %s: no usable line\n", source.location(name).c_str());
    return false;
  }
  return true;
}

const auto_ufw_manifest *stable_package_of(uint16_t code, const firmware_documents &documents,
                                           uint16_t *version) {
  *version = 0;
  for (const auto_ufw_stable_list *s = documents.stable.get(); s != nullptr; s = s->next) {
    if (s->hub_code == code) {
      *version = s->version;
      break;
    }
  }
  if (*version == 0) return nullptr;
  for (const auto_ufw_manifest *m = documents.manifest.get(); m != nullptr; m = m->next)
    if (m->version == *version) return m;
  return nullptr;
}

std::string package_refusal(const package_checks &checks, const std::string &name,
                            const std::string &sha256, std::string *verified_by) {
  verified_by->clear();
  for (const checksum_list *list : {checks.mirror, checks.trusted}) {
    if (list == nullptr) continue;
    const checksum_verdict verdict = list->check(name, sha256);
    if (verdict != checksum_verdict::match) return checksum_refusal(verdict, name, *list);
    *verified_by += (verified_by->empty() ? "" : " and ") + list->path();
  }
  return "";
}

void package_set::take_text(entry *e, std::string text) {
  e->sha256 = sha256_hex(text);
  ufw_load_data(text.data(), e->package.get());
  e->refusal = package_refusal(checks_, e->name, e->sha256, &e->verified_by);
  if (!e->refusal.empty()) return;
  e->verified = !e->verified_by.empty();
  // A text without a single section parses, but is no package (an error
  // page served as a file): it can update no hub.
  if (e->package->valid != 1 || e->package->sections == nullptr)
    e->refusal = "package " + e->name + " from " + e->origin + " is not a valid firmware package";
}

int package_set::load_file(const std::string &path) {
  auto e = std::make_unique<entry>();
  e->name = base_name(path);
  e->origin = std::filesystem::absolute(path).lexically_normal().string();
  size_t length = 0;
  char *buffer = ufw_read_file(path.c_str(), &length);
  if (buffer != nullptr) {
    std::string text(buffer, length);
    std::free(buffer);
    take_text(e.get(), std::move(text));
  }
  // A text without a single section loads, but can update no hub.
  if (buffer == nullptr || e->package->valid != 1 || e->package->sections == nullptr) {
    print_error("trelk-fleet: %s: not a valid firmware package\n", path.c_str());
    return 0;
  }
  entries_.push_back(std::move(e));
  return 1;
}

void package_set::give(fleet_hub &hub, entry &e) {
  hub.package_name = e.name;
  hub.package_sha256 = e.sha256;
  hub.package_verified = e.verified && e.refusal.empty();
  if (e.refusal.empty())
    hub.package = e.package.get();
  else
    hub.reason = e.refusal;
}

void package_set::give_file_package(std::vector<fleet_hub> &hubs) {
  for (fleet_hub &hub : hubs) give_file_package(hub);
}

void package_set::give_file_package(fleet_hub &hub) {
  if (!entries_.empty() && hub.is_hub) give(hub, *entries_.front());
}

package_set::entry *package_set::kept(const std::string &name) const {
  for (const auto &known : entries_)
    if (known->name == name && known->refusal.empty()) return known.get();
  return nullptr;
}

package_set::entry *package_set::new_entry(const auto_ufw_manifest &listed,
                                           const firmware_source &source) {
  auto e = std::make_unique<entry>();
  e->name = listed.file_name;
  e->origin = source.location(listed.file_name);
  // A refused attempt is not kept: the latest attempt takes its place, so
  // the package lines show what became of the package in the end.
  for (auto &known : entries_)
    if (known->name == e->name && !known->refusal.empty()) {
      known = std::move(e);
      return known.get();
    }
  entries_.push_back(std::move(e));
  return entries_.back().get();
}

std::string package_set::refusal_before_fetch(const auto_ufw_manifest &listed,
                                              const firmware_source &source) {
  if (source.kind() == source_kind::built_in) return "";
  const std::string name = listed.file_name;
  if (!firmware_file_name_ok(name))
    return "the firmware list names an unusable file name '" + name + "'";
  if (listed.size < 2 || listed.size > UFW_MAX_FILE_SIZE + 1)
    return "the firmware list gives package " + name + " an unusable size (" +
           std::to_string(listed.size) + ")";
  return "";
}

fetched_file package_set::fetch_package(const auto_ufw_manifest &listed, firmware_source &source) {
  fetched_file file;
  if (source.kind() == source_kind::built_in) {
    // trelk's own client: it gives the text up to its first zero byte.
    char *buffer = ufw_fetch_http(&listed);
    file.ok = buffer != nullptr;
    if (buffer != nullptr) file.text = buffer;
    std::free(buffer);
    return file;
  }
  // The manifest's size counts the client's terminating zero, as trelk's does.
  return source.fetch(listed.file_name, static_cast<size_t>(listed.size) - 1);
}

void package_set::take_fetched(const auto_ufw_manifest &listed, const firmware_source &source,
                               fetched_file file) {
  entry *e = new_entry(listed, source);
  if (file.ok)
    take_text(e, std::move(file.text));
  else if (source.kind() == source_kind::built_in)
    e->refusal = "unable to download a valid package " + e->name + " from " + http_firmware_host();
  else
    e->refusal = "unable to get package " + e->name + " from " + e->origin + ": " + file.cause;
}

const auto_ufw_manifest *package_set::listed_for(fleet_hub &hub) const {
  if (!hub.is_hub || hub.result != hub_result::none || !documents_) return nullptr;
  uint16_t version = 0;
  const auto_ufw_manifest *listed = stable_package_of(hub.hub_code, *documents_, &version);
  if (version == 0)
    hub.reason = "no stable version for " + fleet_model_text(hub) + " on the firmware server";
  else if (listed == nullptr)
    hub.reason = "stable version " + fleet_version_text(version) + " of " + fleet_model_text(hub) +
                 " is not in the firmware list";
  return listed;
}

bool package_set::give_without_fetch(fleet_hub &hub, const auto_ufw_manifest &listed,
                                     const firmware_source &source) {
  if (entry *e = kept(listed.file_name)) {
    give(hub, *e);
    return true;
  }
  const std::string refusal = refusal_before_fetch(listed, source);
  if (refusal.empty()) return false;
  entry *e = new_entry(listed, source);
  e->refusal = refusal;
  give(hub, *e);
  return true;
}

void package_set::give_latest(fleet_hub &hub, const std::string &name) {
  for (const auto &known : entries_)
    if (known->name == name) give(hub, *known);
}

int package_set::load_documents(firmware_source &source) {
  documents_ = std::make_unique<firmware_documents>();
  firmware_documents &documents = *documents_;
  if (source.kind() == source_kind::built_in) {
    std::string cause;
    if (!built_in_documents(stop_fd_, &documents, &cause)) {
      print_error("trelk-fleet: no usable firmware list from %s%s%s\n", http_firmware_host(),
                  cause.empty() ? "" : ": ", cause.c_str());
      documents_.reset();
      return 0;
    }
  } else if (!fetch_documents(source, checks_, stop_fd_, &documents)) {
    documents_.reset();
    return 0;
  }
  return 1;
}

void package_set::choose_for(fleet_hub &hub, firmware_source &source) {
  const auto_ufw_manifest *listed = listed_for(hub);
  if (listed == nullptr) return;
  // One run's hubs are planned at one moment: a package is tried once for
  // all of them, so a server that is down costs one fetch, not one a hub.
  for (const auto &known : entries_)
    if (known->name == listed->file_name) {
      give(hub, *known);
      return;
    }
  if (give_without_fetch(hub, *listed, source)) return;
  take_fetched(*listed, source,
               fetch_in_child([&] { return fetch_package(*listed, source); }, stop_fd_));
  give_latest(hub, listed->file_name);
}

int package_set::choose_from_server(std::vector<fleet_hub> &hubs, firmware_source &source) {
  if (!load_documents(source)) return 0;
  for (fleet_hub &hub : hubs) choose_for(hub, source);
  return 1;
}

std::vector<std::string> package_set::describe() const {
  std::vector<std::string> lines;
  for (const auto &e : entries_) {
    std::string line = "Package " + e->name;
    if (e->refusal.empty()) line += " (" + fleet_version_text(e->package->version) + ")";
    line += " from " + e->origin;
    if (!e->sha256.empty()) line += ", sha256 " + e->sha256;
    if (!e->refusal.empty())
      line += ", refused: " + e->refusal;
    else
      line += e->verified ? ", verified by " + e->verified_by : ", not verified";
    lines.push_back(line);
  }
  return lines;
}

namespace {

// The boards the probe saw, as trelk's check before an upload reads them:
// in bootloader mode each board's type and version; in normal mode the
// model's board types, all running the hub's firmware version. False, with
// the hub skipped, for a hub code no model has.
bool boards_seen(fleet_hub &hub, device *seen) {
  if (hub.in_bootloader) {
    seen->board_count = hub.board_count;
    for (int b = 1; b <= hub.board_count && b < DEVICE_MAX_BOARDS; ++b) {
      seen->boards[b].board_type = hub.board_types[b];
      seen->boards[b].fw_version = hub.board_versions[b];
    }
    return true;
  }
  hub_system *system = device_get_system_from_code(hub.hub_code);
  if (system == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "unknown hub code %04x", hub.hub_code);
    hub.result = hub_result::skipped;
    hub.reason = text;
    return false;
  }
  seen->board_count = device_board_limit(system->board_count);
  for (int b = 1; b <= seen->board_count; ++b) {
    seen->boards[b].board_type = system->boards[b - 1].type;
    seen->boards[b].fw_version = static_cast<uint16_t>(hub.version_before);
  }
  delete system;
  return true;
}

// The first board type of `seen` that the package has no section for.
uint16_t missing_board_type(ufw *package, const device &seen) {
  for (int b = 1; b <= seen.board_count; ++b)
    if (ufw_get_for_device_type(package, seen.boards[b].board_type) == nullptr)
      return seen.boards[b].board_type;
  return 0;
}

}  // namespace

void fleet_plan_hub(fleet_hub &hub, const fleet_update_rules &rules) {
  if (!hub.is_hub || hub.result != hub_result::none) return;
  if (hub.package == nullptr) {
    hub.result = hub_result::skipped;
    if (hub.reason.empty()) hub.reason = "no package for this hub";
    return;
  }
  device seen{};
  if (!boards_seen(hub, &seen)) return;
  switch (ufw_check_device_status(hub.package, &seen)) {
    case UFW_STATUS_NO_SECTION: {
      char text[96];
      std::snprintf(text, sizeof text, "package %s has no firmware for board type %04x",
                    fleet_version_text(hub.package->version).c_str(),
                    missing_board_type(hub.package, seen));
      hub.result = hub_result::skipped;
      hub.reason = text;
      return;
    }
    case UFW_STATUS_NOT_NEWER:
      if (rules.force) break;
      hub.version_after = hub.version_before;
      // Left in its bootloaders by an earlier run: brought back into service.
      if (hub.in_bootloader && rules.restart) {
        hub.to_update = true;
        hub.restart_only = true;
      } else {
        hub.result = hub_result::up_to_date;
      }
      return;
    default:
      break;
  }
  hub.to_update = true;
  hub.version_after = hub.package->version;
}

void fleet_plan(std::vector<fleet_hub> &hubs, const fleet_update_rules &rules) {
  for (fleet_hub &hub : hubs) fleet_plan_hub(hub, rules);
}
