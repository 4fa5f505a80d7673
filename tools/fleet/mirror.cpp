#include "mirror.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "files.h"
#include "fleet.h"
#include "functions.h"
#include "run.h"
#include "sha256.h"
#include "timer.h"

namespace {

// A mirror is for others to read; umask still applies to the folders.
constexpr mode_t FILE_MODE = 0644;
constexpr mode_t FOLDER_MODE = 0755;
// Four progress redraws a second look live and cost nothing.
constexpr int64_t PROGRESS_INTERVAL_MS = 250;

// One package the mirror takes: a manifest entry and the models whose stable
// version it is.
struct mirrored_package {
  const auto_ufw_manifest *entry;
  std::string models;
};

// The model's name, or its code for a model no table has.
std::string model_name(uint16_t code) {
  std::string name = fleet_model_name(code);
  if (!name.empty()) return name;
  char text[32];
  std::snprintf(text, sizeof text, "hub code %04x", code);
  return text;
}

class mirror_run {
 public:
  mirror_run(firmware_source &source, const package_checks &checks, const std::string &dir,
             FILE *out, bool terminal)
      : source_(source), checks_(checks), dir_(dir), out_(out), terminal_(terminal) {}

  int run();

 private:
  bool make_folders();
  bool fetch(const std::string &name, size_t limit, std::string *text);
  std::vector<mirrored_package> choose_packages();
  bool take_package(const mirrored_package &package);
  bool stage(const std::string &name, const std::string &text);
  void say_stored(const std::string &name, size_t bytes, const std::string &note);
  bool commit_all();
  int interrupted();

  firmware_source &source_;
  const package_checks &checks_;
  std::string dir_;
  FILE *out_;
  bool terminal_;
  firmware_documents documents_;
  std::vector<staged_file> staged_;   // in the order they are renamed
  std::vector<std::string> sums_;     // SHA256SUMS lines, as staged
  uint64_t stored_bytes_ = 0;
  int packages_ = 0;
};

bool make_folder(const std::string &path) {
  struct stat st {};
  if (::mkdir(path.c_str(), FOLDER_MODE) == 0 || (errno == EEXIST && ::stat(path.c_str(), &st) == 0 &&
                                                   S_ISDIR(st.st_mode)))
    return true;
  print_error("trelk-fleet: cannot make the folder %s: %s\n", path.c_str(),
              std::strerror(errno == EEXIST ? ENOTDIR : errno));
  return false;
}

bool mirror_run::make_folders() { return make_folder(dir_) && make_folder(dir_ + "/firmware"); }

// Fetches firmware/`name`, its progress on the terminal; false after the
// message (nothing more for an interrupt: the caller says it).
bool mirror_run::fetch(const std::string &name, size_t limit, std::string *text) {
  int64_t last_draw = 0;
  const download_progress progress = [&](uint64_t received, uint64_t expected) {
    const int64_t now = get_absolute_time();
    if (terminal_ && now - last_draw >= PROGRESS_INTERVAL_MS) {
      last_draw = now;
      // A server that announces no length shows the bytes so far alone.
      const std::string of = expected > 0 ? "/" + std::to_string(expected) : "";
      std::fprintf(out_, "\r\x1b[Kfirmware/%s: %llu%s bytes", name.c_str(),
                   static_cast<unsigned long long>(received), of.c_str());
      std::fflush(out_);
    }
    return fleet_interrupt_signal() == 0;
  };
  fetched_file file = source_.fetch(name, limit, progress);
  if (terminal_) std::fputs("\r\x1b[K", out_);
  if (!file.ok && fleet_interrupt_signal() == 0)
    print_error("trelk-fleet: %s: %s\n", source_.location(name).c_str(), file.cause.c_str());
  *text = std::move(file.text);
  return file.ok;
}

// Each model's stable package, every file once, in the stable list's order.
std::vector<mirrored_package> mirror_run::choose_packages() {
  std::vector<mirrored_package> packages;
  std::vector<uint16_t> seen;
  for (const auto_ufw_stable_list *s = documents_.stable.get(); s != nullptr; s = s->next) {
    // A model listed twice has the first line's version, as everywhere.
    if (std::find(seen.begin(), seen.end(), s->hub_code) != seen.end()) continue;
    seen.push_back(s->hub_code);
    uint16_t version = 0;
    const auto_ufw_manifest *entry = stable_package_of(s->hub_code, documents_, &version);
    if (version == 0) continue;
    const std::string model = model_name(s->hub_code);
    if (entry == nullptr) {
      std::fprintf(out_, "%s: stable version %s is not in the firmware list; nothing to mirror for it\n",
                   model.c_str(), fleet_version_text(version).c_str());
      continue;
    }
    mirrored_package *known = nullptr;
    for (mirrored_package &p : packages)
      if (std::strcmp(p.entry->file_name, entry->file_name) == 0) known = &p;
    if (known == nullptr) known = &packages.emplace_back(mirrored_package{entry, ""});
    known->models += (known->models.empty() ? "" : ", ") + model;
  }
  return packages;
}

// Fetches one package and stages it when it is whole, valid and passes the
// lists; false after the message.
bool mirror_run::take_package(const mirrored_package &package) {
  const std::string name = package.entry->file_name;
  const int32_t size = package.entry->size;
  if (!firmware_file_name_ok(name) || size < 2 || size > UFW_MAX_FILE_SIZE + 1) {
    print_error("trelk-fleet: %s: the firmware list gives an unusable name or size (%d)\n",
                source_.location(name).c_str(), size);
    return false;
  }
  std::string text;
  // The manifest's size counts the client's terminating zero, as trelk's does.
  if (!fetch(name, static_cast<size_t>(size) - 1, &text)) return false;
  std::string verified_by;
  const std::string refusal = package_refusal(checks_, name, sha256_hex(text), &verified_by);
  if (!refusal.empty()) {
    print_error("trelk-fleet: %s: %s\n", source_.location(name).c_str(), refusal.c_str());
    return false;
  }
  std::string copy = text;
  unique_ufw parsed;
  ufw_load_data(copy.data(), parsed.get());
  // Not stored as firmware: a text without a single section (an error page).
  if (parsed->valid != 1 || parsed->sections == nullptr) {
    print_error("trelk-fleet: %s: not a valid firmware package\n", source_.location(name).c_str());
    return false;
  }
  if (!stage(name, text)) return false;
  ++packages_;
  say_stored(name, text.size(),
             ", " + fleet_version_text(parsed->version) + ", stable for " + package.models +
                 (verified_by.empty() ? "" : ", verified by " + verified_by));
  return true;
}

void mirror_run::say_stored(const std::string &name, size_t bytes, const std::string &note) {
  std::fprintf(out_, "firmware/%s: %zu bytes%s\n", name.c_str(), bytes, note.c_str());
  std::fflush(out_);
}

// Writes firmware/`name` under its temporary name and notes its line in
// SHA256SUMS; false after the message.
bool mirror_run::stage(const std::string &name, const std::string &text) {
  staged_file file;
  std::string cause;
  const std::string path = dir_ + "/firmware/" + name;
  if (!file.write(path, text, FILE_MODE, &cause)) {
    print_error("trelk-fleet: cannot write %s: %s\n", path.c_str(), cause.c_str());
    return false;
  }
  staged_.push_back(std::move(file));
  sums_.push_back(sha256_hex(text) + "  firmware/" + name + "\n");
  stored_bytes_ += text.size();
  return true;
}

// SHA256SUMS last, then every rename in order; false after the message.
bool mirror_run::commit_all() {
  std::string sums;
  for (const std::string &line : sums_) sums += line;
  staged_file list;
  std::string cause;
  if (!list.write(dir_ + "/SHA256SUMS", sums, FILE_MODE, &cause)) {
    print_error("trelk-fleet: cannot write %s/SHA256SUMS: %s\n", dir_.c_str(), cause.c_str());
    return false;
  }
  staged_.push_back(std::move(list));
  for (staged_file &file : staged_) {
    if (!file.commit(&cause)) {
      print_error("trelk-fleet: cannot store %s: %s\n", file.path().c_str(), cause.c_str());
      return false;
    }
  }
  sync_folder(dir_ + "/firmware");
  sync_folder(dir_);
  return true;
}

int mirror_run::interrupted() {
  print_error("trelk-fleet: interrupted (%s): nothing was stored in %s\n",
              strsignal(fleet_interrupt_signal()), dir_.c_str());
  return FLEET_EXIT_SIGNAL_BASE + fleet_interrupt_signal();
}

int mirror_run::run() {
  if (!make_folders()) return FLEET_EXIT_SETUP;
  if (!fetch("manifest", FLEET_DOCUMENT_LIMIT, &documents_.manifest_text) ||
      !fetch("stable", FLEET_DOCUMENT_LIMIT, &documents_.stable_text))
    return fleet_interrupt_signal() != 0 ? interrupted() : FLEET_EXIT_SETUP;
  if (!parse_documents(source_, checks_, &documents_)) return FLEET_EXIT_SETUP;
  say_stored("manifest", documents_.manifest_text.size(), "");
  say_stored("stable", documents_.stable_text.size(), "");

  int failed = 0;
  for (const mirrored_package &package : choose_packages()) {
    if (!take_package(package)) ++failed;
    if (fleet_interrupt_signal() != 0) return interrupted();
  }
  if (failed > 0) {
    print_error("trelk-fleet: nothing was stored in %s: %d package%s could not be mirrored\n",
                dir_.c_str(), failed, failed == 1 ? "" : "s");
    return FLEET_EXIT_HUB_FAILED;
  }
  // The documents go in after the packages they name.
  if (!stage("stable", documents_.stable_text) || !stage("manifest", documents_.manifest_text) ||
      !commit_all())
    return FLEET_EXIT_SETUP;
  std::fprintf(out_, "Mirrored %s into %s: the manifest, the stable list and %d package%s, %llu bytes; "
               "%s/SHA256SUMS lists them.\n",
               source_.label().c_str(), dir_.c_str(), packages_, packages_ == 1 ? "" : "s",
               static_cast<unsigned long long>(stored_bytes_), dir_.c_str());
  std::fflush(out_);
  return FLEET_EXIT_OK;
}

}  // namespace

int fleet_mirror(firmware_source &source, const package_checks &checks, const std::string &dir,
                 FILE *out, bool terminal) {
  return mirror_run(source, checks, dir, out, terminal).run();
}
