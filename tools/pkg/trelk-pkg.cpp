// trelk-pkg: looks inside a firmware package before it goes near a hub, and
// makes packages from the Intel HEX files a toolchain writes.
//
// Everything it reports about sections, upload ranges and blocks comes from
// trelk's own package loader, so what it shows is what trelk would send. The
// record checks of "check" and the reader of "build" are its own (ihex.h):
// trelk never looks at a record's checksum, and this tool is where a damaged
// record must be caught.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device.h"
#include "functions.h"
#include "ihex.h"
#include "options.h"
#include "sha256.h"
#include "ufw.h"

namespace {

constexpr const char *kProgram = "trelk-pkg";

// Exit statuses: 0 fine, 1 a problem with a package or a file, 2 a wrong
// command line (as grep and diff do).
constexpr int kExitOk = 0;
constexpr int kExitProblem = 1;
constexpr int kExitUsage = 2;

// Versions go to the boards as "!FINISH %04d": four digits at most.
constexpr int kMaxVersion = 9999;

constexpr const char *kHelp =
    "Usage: trelk-pkg COMMAND [ARGUMENT]...\n"
    "Inspect, verify and build firmware packages for Varnholt hubs.\n"
    "\n"
    "Commands:\n"
    "  info FILE              show the package version, every section's board\n"
    "                           type, record count, upload range, block size and\n"
    "                           block count, the hub models it can update, and\n"
    "                           the file's SHA-256\n"
    "  check FILE             show what info shows, then verify every record\n"
    "                           (shape, checksum, placement); exit status 1 on\n"
    "                           any problem\n"
    "  build --version M.mm --section TYPE=HEXFILE [--section ...] -o OUT\n"
    "                         write a package from Intel HEX files, one section\n"
    "                           per board type (TYPE in hexadecimal, e.g. 0102)\n"
    "  image [--full] FILE TYPE [-o OUT]\n"
    "                         write the memory that trelk uploads to a board of\n"
    "                           TYPE, from address 0x4000 to the end of the upload\n"
    "                           range (--full: to the board's highest address);\n"
    "                           standard output unless -o is given\n"
    "\n"
    "Options:\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "Output lines have the form 'KEY: VALUE' and keep their layout between\n"
    "releases; trelk-pkg(1) describes each of them.\n"
    "\n"
    "Exit status:\n"
    " 0  if OK,\n"
    " 1  if the package has a problem or a file cannot be read or written,\n"
    " 2  if the command line is wrong.\n";

void print_try_help() {
  std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
}

int usage_error(const std::string &message) {
  print_error("%s: %s\n", kProgram, message.c_str());
  print_try_help();
  return kExitUsage;
}

int failure(const std::string &message) {
  print_error("%s: %s\n", kProgram, message.c_str());
  return kExitProblem;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

std::string version_text(int version) {
  if (version < 0) return format("-%d.%02d", -version / 100, -version % 100);
  return format("%d.%02d", version / 100, version % 100);
}

// Reads a whole file, at most as much as trelk itself would read.
bool read_file(const std::string &path, std::string &text, std::string &error) {
  FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    error = path + ": " + std::strerror(EISDIR);
    return false;
  }
  text.clear();
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, got);
    if (static_cast<int64_t>(text.size()) > UFW_MAX_FILE_SIZE) {
      std::fclose(file);
      error = path + ": larger than trelk reads (64 MiB)";
      return false;
    }
  }
  const bool failed = std::ferror(file);
  std::fclose(file);
  if (failed) {
    error = path + ": read error";
    return false;
  }
  return true;
}

// The board class of a type, as the loader decides it: an empty section
// rebuilt by the loader's own code reports the highest address and block size.
struct board_class {
  uint32_t max_address = 0;
  int block_size = 0;
};

board_class class_of(uint16_t type) {
  auto section = std::make_unique<ufw_section>();
  section->type = type;
  ufw_dfw_populate(section.get());
  return {section->max_address, section->block_size};
}

// The highest address of `bytes` inside the firmware area of a board of class
// `cls`, or 0 when none lies there.
uint32_t highest_in_area(const std::map<uint32_t, uint8_t> &bytes, const board_class &cls) {
  uint32_t highest = 0;
  for (const auto &[address, value] : bytes)
    if (address >= UFW_BASE_ADDRESS && address <= cls.max_address) highest = address;
  return highest;
}

// How trelk's image of one section compares with the Intel HEX memory it was
// made from. check reports each difference; build takes only a perfect match.
struct image_comparison {
  // First address of the firmware area where the image differs (the memory
  // holds 0xFF where it has no byte).
  std::optional<uint32_t> first_difference;
  int blocks_uploaded = 0;  // what trelk sends
  int blocks_needed = 0;    // up to the memory's highest byte in the area
  bool same() const { return !first_difference && blocks_uploaded == blocks_needed; }
};

// `cls` is the class of the section's board type; `bytes` holds at least one
// byte inside its firmware area.
image_comparison compare_image(const ufw_section &section,
                               const std::map<uint32_t, uint8_t> &bytes, const board_class &cls) {
  image_comparison result;
  for (uint32_t address = UFW_BASE_ADDRESS; address <= cls.max_address; ++address) {
    auto it = bytes.find(address);
    const uint8_t expected = it == bytes.end() ? 0xFF : it->second;
    if (section.image[address - UFW_BASE_ADDRESS] != expected) {
      result.first_difference = address;
      break;
    }
  }
  result.blocks_uploaded = section.block_count;
  result.blocks_needed =
      static_cast<int>((highest_in_area(bytes, cls) - UFW_BASE_ADDRESS) / cls.block_size) + 1;
  return result;
}

// Reads `path` whole into `text` (its checksum is reported) and through
// trelk's loader into `loaded`. Returns the exit status when the file cannot
// be read, else nothing; the package may still be one trelk cannot load.
std::optional<int> read_package(const std::string &path, std::string &text,
                                unique_ufw &loaded) {
  std::string error;
  if (!read_file(path, text, error)) return failure(error);
  ufw_load_file(path.c_str(), loaded.get());
  return std::nullopt;
}

// As read_package; a package trelk cannot load ends the command too.
std::optional<int> load_package(const std::string &path, std::string &text,
                                unique_ufw &loaded) {
  if (const auto status = read_package(path, text, loaded)) return status;
  if (!loaded->valid)
    return failure(path + ": trelk cannot load this package (trelk-pkg check shows why)");
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Report shared by info and check

// The board types of a model, board 1 first; the table is the hub engine's.
std::span<const uint16_t> board_types(const hub_model &model) {
  const size_t count = static_cast<size_t>(std::max(model.board_count, 0));
  return {model.types, std::min(count, std::size(model.types))};
}

// Whether trelk would upload anything to a board of `type` from `package`.
bool has_upload_for(ufw &package, uint16_t type) {
  const ufw_section *s = ufw_get_for_device_type(&package, type);
  return s && s->block_count > 0;
}

void print_sections(const ufw &package) {
  int count = 0;
  for (ufw_section *s = package.sections; s; s = s->next) ++count;
  std::printf("version: %s\n", version_text(package.version).c_str());
  std::printf("sections: %d\n", count);
  int index = 0;
  for (ufw_section *s = package.sections; s; s = s->next) {
    ++index;
    std::string range = "none";
    if (s->block_count > 0)
      range = format("0x%06X-0x%06X", UFW_BASE_ADDRESS,
                     UFW_BASE_ADDRESS + static_cast<uint32_t>(s->block_count) * s->block_size - 1);
    std::printf("section %d: type 0x%04X records %d upload %s block-size %d blocks %d\n", index,
                s->type, s->line_count, range.c_str(), s->block_size, s->block_count);
  }
}

// The models whose every board the package updates, then those it updates
// only some boards of, each with the board types it lacks.
void print_models(ufw &package) {
  bool any = false;
  for (const hub_model &m : device_hub_models()) {
    const std::span<const uint16_t> types = board_types(m);
    if (std::all_of(types.begin(), types.end(),
                    [&](uint16_t type) { return has_upload_for(package, type); })) {
      std::printf("updates: 0x%04X %s\n", m.code, m.name);
      any = true;
    }
  }
  if (!any) std::printf("updates: none\n");
  for (const hub_model &m : device_hub_models()) {
    std::string missing;
    size_t covered = 0;
    std::set<uint16_t> seen;
    for (uint16_t type : board_types(m)) {
      if (!seen.insert(type).second) continue;
      if (has_upload_for(package, type)) {
        ++covered;
      } else {
        missing += missing.empty() ? "" : ",";
        missing += format("0x%04X", type);
      }
    }
    if (covered > 0 && !missing.empty())
      std::printf("partial: 0x%04X missing %s %s\n", m.code, missing.c_str(), m.name);
  }
}

// `file_text` is the whole file as read: its SHA-256 is the checksum a user
// compares with the published one. It comes last so that scripts reading the
// earlier lines see them where they always were.
void print_report(ufw &package, const std::string &file_text) {
  print_sections(package);
  print_models(package);
  std::printf("sha256: %s\n", sha256_hex(file_text).c_str());
}

// ---------------------------------------------------------------------------
// Package text, read with the loader's line rules but with line numbers kept

struct scanned_record {
  int line = 0;
  std::string text;
};

struct scanned_section {
  uint16_t type = 0;
  int line = 0;  // of the opening line
  bool closed = false;
  std::vector<scanned_record> records;
};

struct scanned_package {
  std::vector<int> version_lines;
  std::vector<int> versions;
  std::vector<scanned_section> sections;
};

scanned_package scan_package(const std::string &file_text) {
  scanned_package result;
  // The loader reads as far as the first zero byte.
  const std::string_view text(file_text.c_str());
  scanned_section *open = nullptr;
  size_t pos = 0;
  int line_no = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    ++line_no;
    pos = end + 1;
    if (line.empty()) continue;
    if (line.starts_with("___")) {
      result.version_lines.push_back(line_no);
      result.versions.push_back(std::atoi(std::string(line.substr(3)).c_str()));
    } else if (!open && line.starts_with(">>>")) {
      std::string digits(line.substr(3, 4));
      result.sections.push_back({ascii_hex_to_uint16(digits.c_str()), line_no, false, {}});
      open = &result.sections.back();
    } else if (open && line.starts_with("!!!!!!!!")) {
      open->closed = true;
      open = nullptr;
    } else if (open) {
      while (!line.empty() && static_cast<signed char>(line.back()) < 32) line.remove_suffix(1);
      open->records.push_back({line_no, std::string(line)});
    }
  }
  return result;
}

// ---------------------------------------------------------------------------
// Command line

// Both commands with options write to -o OUT; the leading ':' tells a missing
// argument apart from an unknown option.
constexpr const char *kShortOptions = ":o:";

// What a command does with one of its own options (`code` from its table).
// Returns nothing to go on, or the exit status that ends the command.
using option_handler = std::function<std::optional<int>(int code, const char *argument)>;

// Reads one command's options (argv[0] is the command) with getopt_long:
// `own` are the command's long options, --help is added. Help, a missing
// argument and an unknown option end every command alike; the rest go to
// `take`. Returns the exit status when the command line ends the command,
// else nothing with optind at the first operand.
std::optional<int> parse_options(int argc, char **argv, std::vector<option> own,
                                 const option_handler &take) {
  own.push_back({"help", no_argument, nullptr, 'h'});
  own.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, kShortOptions, own.data(), nullptr)) != -1) {
    switch (c) {
      case 'h':
        std::fputs(kHelp, stdout);
        return kExitOk;
      case ':':
        return usage_error(format("option '%s' requires an argument", argv[optind - 1]));
      case '?':
        return usage_error(format("unrecognized option '%s'", argv[optind - 1]));
      default:
        if (const auto status = take(c, optarg)) return status;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// info and check

int cmd_info(const std::string &path) {
  std::string text;
  unique_ufw loaded;
  if (const auto status = load_package(path, text, loaded)) return *status;
  // Any text without a section line loads as an empty package; it is no
  // package, and a zero status would say it is one.
  if (loaded->sections == nullptr)
    return failure(path + ": no firmware section: not a firmware package");
  print_report(*loaded.get(), text);
  return kExitOk;
}

// What check finds, each with the file and, where it has one, the line.
class problem_list {
 public:
  explicit problem_list(std::string path) : path_(std::move(path)) {}

  void add(int line, const std::string &message) {
    items_.push_back(line > 0 ? format("%s:%d: %s", path_.c_str(), line, message.c_str())
                              : path_ + ": " + message);
  }
  size_t size() const { return items_.size(); }

  // Prints every problem and the result; returns check's exit status.
  int print() const {
    for (const std::string &p : items_) std::printf("problem: %s\n", p.c_str());
    if (items_.empty()) {
      std::printf("result: ok\n");
      return kExitOk;
    }
    std::printf("result: %zu problem%s\n", items_.size(), items_.size() == 1 ? "" : "s");
    return kExitProblem;
  }

 private:
  std::string path_;
  std::vector<std::string> items_;
};

void check_versions(const scanned_package &scanned, problem_list &problems) {
  if (scanned.versions.empty()) {
    problems.add(0, "no version line");
    return;
  }
  for (size_t i = 1; i < scanned.versions.size(); ++i)
    if (scanned.versions[i] != scanned.versions[0])
      problems.add(scanned.version_lines[i],
                   "a second version line with a different version; trelk uses the last");
  const int version = scanned.versions.back();
  if (version <= 0 || version > kMaxVersion)
    problems.add(scanned.version_lines.back(), "version must lie between 0.01 and 99.99");
}

// Places a section's records as the board would hold them; a damaged record,
// or one with data outside the board's firmware area, is a problem.
ihex_memory place_records(const scanned_section &section, const board_class &cls,
                          problem_list &problems) {
  ihex_memory memory;
  for (const scanned_record &record : section.records) {
    if (record.text.empty()) continue;  // stored, but never placed
    ihex_record parsed;
    std::string why = ihex_parse_record(record.text, parsed);
    if (why.empty()) {
      const uint32_t start = memory.base + parsed.offset;
      why = ihex_apply(memory, parsed);
      if (why.empty() && parsed.type == IHEX_DATA) {
        for (size_t i = 0; i < parsed.data.size(); ++i) {
          const uint32_t address = start + static_cast<uint32_t>(i);
          if (address < UFW_BASE_ADDRESS || address > cls.max_address) {
            why = format("data at 0x%X lies outside the board's firmware area 0x%X-0x%X",
                         address, UFW_BASE_ADDRESS, cls.max_address);
            break;
          }
        }
      }
    }
    if (!why.empty()) problems.add(record.line, why);
  }
  return memory;
}

// One section of the file; `mine` is what trelk's loader made of it (null
// when the package did not load). `types` collects the board types seen.
void check_section(const scanned_section &section, const ufw_section *mine,
                   std::set<uint16_t> &types, problem_list &problems) {
  if (!section.closed)
    problems.add(section.line, "section is never closed (is the file cut short?)");
  if (!types.insert(section.type).second)
    problems.add(section.line,
                 format("a second section of board type 0x%04X is never used", section.type));
  const board_class cls = class_of(section.type);
  if (cls.block_size == 0) {
    problems.add(section.line,
                 format("board type 0x%04X is not one trelk can update", section.type));
    return;
  }
  const size_t problems_before = problems.size();
  const ihex_memory memory = place_records(section, cls, problems);
  if (highest_in_area(memory.bytes, cls) == 0) {
    problems.add(section.line, "section holds no firmware data");
    return;
  }
  // A record found wrong above already explains any difference below.
  if (!mine || problems.size() != problems_before) return;
  // What trelk made of the same records must be what they say.
  const image_comparison comparison = compare_image(*mine, memory.bytes, cls);
  if (comparison.first_difference)
    problems.add(section.line, format("trelk places the data differently (first at 0x%X)",
                                      *comparison.first_difference));
  if (comparison.blocks_uploaded != comparison.blocks_needed)
    problems.add(section.line, format("trelk uploads %d blocks, the data needs %d",
                                      comparison.blocks_uploaded, comparison.blocks_needed));
}

int cmd_check(const std::string &path) {
  std::string text;
  unique_ufw loaded;
  if (const auto status = read_package(path, text, loaded)) return *status;
  ufw &package = *loaded.get();
  if (package.valid) print_report(package, text);

  problem_list problems(path);
  if (!package.valid) problems.add(0, "trelk cannot load this package");
  if (text.find('\0') != std::string::npos)
    problems.add(0, "holds a zero byte; trelk reads nothing after it");
  const scanned_package scanned = scan_package(text);
  check_versions(scanned, problems);
  if (scanned.sections.empty()) problems.add(0, "no sections");

  std::set<uint16_t> types;
  const ufw_section *mine = package.valid ? package.sections : nullptr;
  for (const scanned_section &section : scanned.sections) {
    check_section(section, mine, types, problems);
    if (mine) mine = mine->next;
  }
  return problems.print();
}

// ---------------------------------------------------------------------------
// build
// "0102" or "0x0102": one to four hexadecimal digits.
bool parse_type(std::string_view text, uint16_t &type) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.empty() || text.size() > 4) return false;
  unsigned value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  type = static_cast<uint16_t>(value);
  return true;
}

// "M.mm": major 0..99, exactly two digits of minor, not 0.00.
bool parse_version(std::string_view text, int &version) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > 2 || text.size() != dot + 3) return false;
  int value = 0;
  for (char c : text) {
    if (c == '.') continue;
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value == 0) return false;
  version = value;
  return true;
}

struct build_section {
  uint16_t type = 0;
  std::string hex_path;
  board_class cls;
  std::map<uint32_t, uint8_t> bytes;
};

// Reads one Intel HEX file into `section.bytes`; every record must be sound
// and every byte inside the board's firmware area.
bool read_hex(build_section &section, std::string &error) {
  std::string text;
  if (!read_file(section.hex_path, text, error)) return false;
  ihex_memory memory;
  size_t pos = 0;
  int line_no = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    ++line_no;
    pos = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (line.empty()) continue;
    if (memory.ended) break;  // whatever follows the end record is not firmware
    ihex_record record;
    std::string why = ihex_parse_record(line, record);
    if (why.empty()) why = ihex_apply(memory, record);
    if (why.empty() && record.type == IHEX_DATA) {
      const uint32_t start = memory.base + record.offset;
      const uint32_t last = start + static_cast<uint32_t>(record.data.size()) - 1;
      if (!record.data.empty() &&
          (start < UFW_BASE_ADDRESS || last > section.cls.max_address))
        why = format("data at 0x%X-0x%X lies outside the firmware area 0x%X-0x%X of board type "
                     "0x%04X", start, last, UFW_BASE_ADDRESS, section.cls.max_address,
                     section.type);
    }
    if (!why.empty()) {
      error = format("%s:%d: %s", section.hex_path.c_str(), line_no, why.c_str());
      return false;
    }
  }
  if (memory.bytes.empty()) {
    error = section.hex_path + ": no data records";
    return false;
  }
  section.bytes = std::move(memory.bytes);
  return true;
}
// What the build command line asks for.
struct build_request {
  int version = -1;
  std::string output;
  std::vector<build_section> sections;
};

// "--section TYPE=HEXFILE": a board type trelk can update, given once.
std::optional<int> add_section(std::vector<build_section> &sections, const char *argument) {
  const std::string_view arg(argument);
  const size_t eq = arg.find('=');
  build_section section;
  if (eq == std::string_view::npos || eq + 1 == arg.size() ||
      !parse_type(arg.substr(0, eq), section.type))
    return usage_error(format("invalid section '%s' (expected TYPE=HEXFILE, e.g. "
                              "0102=board.hex)", argument));
  section.hex_path = std::string(arg.substr(eq + 1));
  section.cls = class_of(section.type);
  if (section.cls.block_size == 0)
    return usage_error(format("board type 0x%04X is not one trelk can update", section.type));
  for (const build_section &s : sections)
    if (s.type == section.type)
      return usage_error(format("board type 0x%04X given twice", section.type));
  sections.push_back(std::move(section));
  return std::nullopt;
}

// Returns the exit status when the command line ends the command, else
// nothing with `request` complete.
std::optional<int> parse_build(int argc, char **argv, build_request &request) {
  const auto take = [&](int code, const char *argument) -> std::optional<int> {
    switch (code) {
      case 'V':
        if (!parse_version(argument, request.version))
          return usage_error(format("invalid version '%s' (expected M.mm, e.g. 3.10)", argument));
        break;
      case 's':
        return add_section(request.sections, argument);
      case 'o':
        request.output = argument;
        break;
    }
    return std::nullopt;
  };
  const std::vector<option> own = {
      {"version", required_argument, nullptr, 'V'},
      {"section", required_argument, nullptr, 's'},
      {"output", required_argument, nullptr, 'o'},
  };
  if (const auto status = parse_options(argc, argv, own, take)) return status;
  if (optind < argc) return usage_error(format("unexpected argument '%s'", argv[optind]));
  if (request.version < 0) return usage_error("build needs --version M.mm");
  if (request.sections.empty())
    return usage_error("build needs at least one --section TYPE=HEXFILE");
  if (request.output.empty()) return usage_error("build needs -o OUT");
  return std::nullopt;
}

std::string package_text(const build_request &request) {
  std::string text = format("___%d\n", request.version);
  for (const build_section &section : request.sections) {
    text += format(">>>%04X\n", section.type);
    for (const std::string &record : ihex_write(section.bytes)) text += record + "\n";
    text += "!!!!!!!!\n";
  }
  return text;
}

// Whether trelk's loader reads the package at `path` as the version and the
// images that `request`'s HEX files describe, section by section.
bool reads_back_as_built(const std::string &path, const build_request &request) {
  unique_ufw loaded;
  ufw_load_file(path.c_str(), loaded.get());
  if (!loaded->valid || loaded->version != request.version) return false;
  const ufw_section *s = loaded->sections;
  for (const build_section &section : request.sections) {
    if (!s || s->type != section.type || !compare_image(*s, section.bytes, section.cls).same())
      return false;
    s = s->next;
  }
  return true;
}

// Written beside the target and renamed over it only once trelk's own loader
// has read it back into the images the HEX files describe.
int write_package(const build_request &request, const std::string &text) {
  const std::string &output = request.output;
  const std::string temp = output + ".tmp" + std::to_string(getpid());
  FILE *file = std::fopen(temp.c_str(), "wb");
  if (!file) return failure(temp + ": " + std::strerror(errno));
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written) {
    const int saved = errno;
    std::remove(temp.c_str());
    return failure(output + ": " + std::strerror(saved ? saved : EIO));
  }
  if (!reads_back_as_built(temp, request)) {
    std::remove(temp.c_str());
    return failure(output + ": trelk does not read the written package back as built; "
                            "nothing was written");
  }
  if (std::rename(temp.c_str(), output.c_str()) != 0) {
    const int saved = errno;
    std::remove(temp.c_str());
    return failure(output + ": " + std::strerror(saved));
  }
  return kExitOk;
}

int cmd_build(int argc, char **argv) {
  build_request request;
  if (const auto status = parse_build(argc, argv, request)) return *status;
  std::string error;
  for (build_section &section : request.sections)
    if (!read_hex(section, error)) return failure(error);
  return write_package(request, package_text(request));
}

// ---------------------------------------------------------------------------
// image

// What the image command line asks for.
struct image_request {
  std::string output;  // empty: standard output
  bool full = false;
  std::string path;
  uint16_t type = 0;
};

// Returns the exit status when the command line ends the command, else
// nothing with `request` complete.
std::optional<int> parse_image(int argc, char **argv, image_request &request) {
  const auto take = [&](int code, const char *argument) -> std::optional<int> {
    if (code == 'o') request.output = argument;
    if (code == 'f') request.full = true;
    return std::nullopt;
  };
  const std::vector<option> own = {
      {"output", required_argument, nullptr, 'o'},
      {"full", no_argument, nullptr, 'f'},
  };
  if (const auto status = parse_options(argc, argv, own, take)) return status;
  if (argc - optind != 2) return usage_error("image needs FILE and TYPE");
  request.path = argv[optind];
  if (!parse_type(argv[optind + 1], request.type))
    return usage_error(format("invalid board type '%s' (expected hexadecimal, e.g. 0102)",
                              argv[optind + 1]));
  return std::nullopt;
}

// Writes the first `length` bytes of the section's image to `output`.
int write_image(const ufw_section &section, size_t length, const std::string &output) {
  if (output.empty() && isatty(STDOUT_FILENO))
    return usage_error("refusing to write binary data to a terminal; use -o OUT");
  FILE *file = output.empty() ? stdout : std::fopen(output.c_str(), "wb");
  if (!file) return failure(output + ": " + std::strerror(errno));
  const bool written = std::fwrite(section.image, 1, length, file) == length;
  const bool closed = output.empty() ? std::fflush(file) == 0 : std::fclose(file) == 0;
  if (!written || !closed)
    return failure((output.empty() ? std::string("standard output") : output) + ": " +
                   std::strerror(errno ? errno : EIO));
  return kExitOk;
}

int cmd_image(int argc, char **argv) {
  image_request request;
  if (const auto status = parse_image(argc, argv, request)) return *status;
  const std::string &path = request.path;
  std::string text;
  unique_ufw loaded;
  if (const auto status = load_package(path, text, loaded)) return *status;
  const ufw_section *section = ufw_get_for_device_type(loaded.get(), request.type);
  if (!section)
    return failure(format("%s: no section for board type 0x%04X", path.c_str(), request.type));
  size_t length = static_cast<size_t>(section->block_count) * section->block_size;
  if (request.full && section->max_address >= UFW_BASE_ADDRESS)
    length = section->max_address - UFW_BASE_ADDRESS + 1;
  if (length == 0)
    return failure(format("%s: board type 0x%04X has nothing to upload", path.c_str(),
                          request.type));
  return write_image(*section, length, request.output);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage_error("missing command");
  const std::string command = argv[1];
  if (command == "--help") {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    std::printf("%s (trelk) %s\n", kProgram, TRELK_VERSION_STRING);
    return kExitOk;
  }
  if (command == "info" || command == "check") {
    if (argc == 3 && std::string_view(argv[2]) == "--help") {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
    if (argc != 3) return usage_error(command + " needs exactly one FILE");
    return command == "info" ? cmd_info(argv[2]) : cmd_check(argv[2]);
  }
  if (command == "build") return cmd_build(argc - 1, argv + 1);
  if (command == "image") return cmd_image(argc - 1, argv + 1);
  if (command.starts_with("-")) return usage_error("unrecognized option '" + command + "'");
  return usage_error("unknown command '" + command + "'");
}
