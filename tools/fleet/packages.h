#pragma once
// Which package each hub gets: one file for all (--fw), or the stable
// version of each hub's own model from the firmware source (source.h), every
// distinct package fetched once (at a station, once it passed its checks: a
// fetch that failed, or a package refused, is tried again for the next hub
// that needs it). The
// documents and packages are fetched in a child each (fetch_job.h), so the
// parent stays single-threaded. Every package is hashed (SHA-256) and, where
// the site gave a trusted list (--sha256sums) or the source is a mirror with
// its own SHA256SUMS, checked against each: a package that a list does not
// name, or names with another digest, goes to no hub. Then, per hub, whether
// it needs its package at all.
//
// Parent process only, before the process of a hub that needs a package is
// started (the packages are handed to the hub processes by fork; a package
// once had never moves or changes, so later hubs' processes share it).

#include <memory>
#include <string>
#include <vector>

#include "action-auto.h"
#include "checksums.h"
#include "fleet.h"
#include "source.h"

// The lists every package is checked against; either may be absent.
struct package_checks {
  const checksum_list *trusted = nullptr;  // --sha256sums
  const checksum_list *mirror = nullptr;   // the source mirror's SHA256SUMS
};

// What the lists say of the package file `name` whose SHA-256 is `sha256`:
// the refusal of the first list that does not vouch for it (checksum_refusal),
// or "" when every list there is does; *verified_by then names them ("A and
// B"; empty when there is no list).
std::string package_refusal(const package_checks &checks, const std::string &name,
                            const std::string &sha256, std::string *verified_by);

// The manifest and the stable list of a source, as fetched and as parsed.
struct firmware_documents {
  struct manifest_free {
    void operator()(auto_ufw_manifest *list) const noexcept { auto_ufw_manifest_free(list); }
  };
  struct stable_free {
    void operator()(auto_ufw_stable_list *list) const noexcept { auto_ufw_stable_list_free(list); }
  };
  std::string manifest_text;
  std::string stable_text;
  std::unique_ptr<auto_ufw_manifest, manifest_free> manifest;
  std::unique_ptr<auto_ufw_stable_list, stable_free> stable;
};

// The largest document body: trelk's own buffer, less its terminating zero.
inline constexpr size_t FLEET_DOCUMENT_LIMIT = AUTO_DOCUMENT_SIZE - 1;

// Checks the fetched texts in `documents` against the lists that name them
// ("manifest", "stable"; a list need not name them) and parses them with the
// library's parsers. True; false after one "trelk-fleet: ..." line when a
// list names one with another digest or the manifest has no usable line.
bool parse_documents(const firmware_source &source, const package_checks &checks,
                     firmware_documents *documents);

// The stable version of hub model `code` and its manifest entry: the version
// is 0 when the stable list has none, the entry null when the manifest lacks
// that version.
const auto_ufw_manifest *stable_package_of(uint16_t code, const firmware_documents &documents,
                                           uint16_t *version);

// The packages of one run; they live until the set is destroyed.
class package_set {
 public:
  explicit package_set(package_checks checks = {}) : checks_(checks) {}
  package_set(const package_set &) = delete;
  package_set &operator=(const package_set &) = delete;

  // Loads --fw and hashes it. Returns 1 (a package the lists refuse still
  // loads: its hubs are skipped with the reason); 0 after "trelk-fleet: ..."
  // on stderr when the file is no valid package or holds no section at all.
  int load_file(const std::string &path);

  // Fetches the manifest and the stable list (from the built-in host with
  // trelk's own loaders: same host, limits and messages) and gives each hub
  // that is a hub its model's stable package, fetching each file once. Hubs
  // whose model has no stable entry, whose stable version is missing from the
  // manifest, or whose package cannot be had, is invalid or is refused by a
  // list get no package and a reason. Returns 1; 0 when the documents could
  // not be had (said why).
  int choose_from_server(std::vector<fleet_hub> &hubs, firmware_source &source);

  // The two steps of choose_from_server apart, for a station that fetches
  // the documents once at its start and gives each hub its package as it
  // arrives. load_documents returns 1, or 0 after a message; choose_for does
  // nothing for a hub with a result or before the documents were had, and
  // waits for a fetch (stop_when_readable ends that wait). choose_for tries
  // each package once for the set's life (a run plans its hubs at once); a
  // station gives packages with give_without_fetch below instead.
  int load_documents(firmware_source &source);
  void choose_for(fleet_hub &hub, firmware_source &source);
  // Every fetch runs in a child (fetch_job.h); a readable `fd` (the
  // interrupt's pipe; -1: none) stops a fetch that is waited for.
  void stop_when_readable(int fd) { stop_fd_ = fd; }

  // choose_for's steps apart, for a station that fetches without waiting.
  // A package fetched and passed by its checks is kept for the set's life
  // and given to every later hub; a fetch that failed or a package refused
  // is not kept: the next hub that needs it fetches it again.
  // The manifest entry of the hub's model's stable package; null (with
  // hub.reason set when it has none) for a hub without one.
  const auto_ufw_manifest *listed_for(fleet_hub &hub) const;
  // Gives the hub the kept package, or the refusal of a name or size that
  // no fetch could make usable. False when it must be fetched first.
  bool give_without_fetch(fleet_hub &hub, const auto_ufw_manifest &listed,
                          const firmware_source &source);
  // The fetch itself (in a child; prints nothing).
  static fetched_file fetch_package(const auto_ufw_manifest &listed, firmware_source &source);
  // Takes the fetch's file (checked, hashed, parsed) or its failure as the
  // latest attempt at that package; give_latest then gives it to a hub.
  void take_fetched(const auto_ufw_manifest &listed, const firmware_source &source,
                    fetched_file file);
  void give_latest(fleet_hub &hub, const std::string &name);

  // With --fw: gives every hub the file's package (or its refusal).
  void give_file_package(std::vector<fleet_hub> &hubs);
  void give_file_package(fleet_hub &hub);

  // One line per package: its name, version, where it came from, its
  // SHA-256 and the lists that verified it, or why no hub gets it.
  std::vector<std::string> describe() const;

 private:
  struct entry {
    std::string name;       // the manifest's file name, or --fw's base name
    std::string origin;     // its URL or path
    std::string sha256;     // empty when it could not be had
    bool verified = false;  // every list there is matched it (and there was one)
    std::string verified_by;
    std::string refusal;    // why no hub gets it; empty when one may
    unique_ufw package;
  };

  // Hashes `text`, parses it and checks it against the lists: a refusal, or
  // an invalid package, becomes the entry's refusal.
  void take_text(entry *e, std::string text);
  // The kept (unrefused) entry named `name`, null when there is none.
  entry *kept(const std::string &name) const;
  // A new attempt at `listed`, in place of an earlier refused one.
  entry *new_entry(const auto_ufw_manifest &listed, const firmware_source &source);
  // Why `listed` can be no package whatever a fetch gives; "" when none.
  static std::string refusal_before_fetch(const auto_ufw_manifest &listed,
                                          const firmware_source &source);
  // Gives `hub` the package of `e`, or its refusal as the hub's reason.
  static void give(fleet_hub &hub, entry &e);

  package_checks checks_;
  int stop_fd_ = -1;
  std::unique_ptr<firmware_documents> documents_;
  std::vector<std::unique_ptr<entry>> entries_;
};

// Decides for one probed hub that has no result yet, from what its probe
// found (the boards' types and versions; for a hub in normal mode its
// model's board types and its firmware's version): no package or a board
// type missing from it -> skipped with a reason; not newer than every board
// without --force -> up to date, except a hub found in its bootloaders,
// which is restarted (to_update and restart_only) unless rules.restart is
// clear; else to be updated (to_update, version_after the package's).
void fleet_plan_hub(fleet_hub &hub, const fleet_update_rules &rules);
// fleet_plan_hub for every hub, in order.
void fleet_plan(std::vector<fleet_hub> &hubs, const fleet_update_rules &rules);
