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

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
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
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  print_try_help();
  return kExitUsage;
}

int failure(const std::string &message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
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

// A package loaded by trelk's loader, released on every path.
struct loaded_package {
  ufw package{};
  loaded_package() = default;
  loaded_package(const loaded_package &) = delete;
  loaded_package &operator=(const loaded_package &) = delete;
  ~loaded_package() { ufw_free(&package); }
};

// ---------------------------------------------------------------------------
// Hub models

struct model {
  uint16_t code;
  std::string name;
  std::vector<uint16_t> board_types;  // board 1 first
};

// The model table belongs to the hub engine; ask it about every code.
const std::vector<model> &models() {
  static const std::vector<model> table = [] {
    std::vector<model> list;
    for (uint32_t code = 0; code <= 0xFFFF; ++code) {
      hub_system *system = device_get_system_from_code(static_cast<uint16_t>(code));
      if (!system) continue;
      model m{system->code, system->name, {}};
      for (int i = 0; i < system->board_count && i < 8; ++i)
        m.board_types.push_back(system->boards[i].type);
      list.push_back(std::move(m));
      // Released as device_free releases the model record a device owns.
      delete system;
    }
    return list;
  }();
  return table;
}

// ---------------------------------------------------------------------------
// Report shared by info and check

// `file_text` is the whole file as read: its SHA-256 is the checksum a user
// compares with the published one. It comes last so that scripts reading the
// earlier lines see them where they always were.
void print_report(ufw &package, const std::string &file_text) {
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
  bool any = false;
  for (const model &m : models()) {
    std::vector<uint16_t> missing;
    for (uint16_t type : m.board_types) {
      ufw_section *s = ufw_get_for_device_type(&package, type);
      if (!s || s->block_count <= 0) {
        bool listed = false;
        for (uint16_t t : missing) listed = listed || t == type;
        if (!listed) missing.push_back(type);
      }
    }
    if (missing.empty()) {
      std::printf("updates: 0x%04X %s\n", m.code, m.name.c_str());
      any = true;
    }
  }
  if (!any) std::printf("updates: none\n");
  for (const model &m : models()) {
    std::string missing;
    size_t covered = 0;
    std::set<uint16_t> seen;
    for (uint16_t type : m.board_types) {
      if (!seen.insert(type).second) continue;
      ufw_section *s = ufw_get_for_device_type(&package, type);
      if (s && s->block_count > 0) {
        ++covered;
      } else {
        missing += missing.empty() ? "" : ",";
        missing += format("0x%04X", type);
      }
    }
    if (covered > 0 && !missing.empty())
      std::printf("partial: 0x%04X missing %s %s\n", m.code, missing.c_str(), m.name.c_str());
  }
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
// Commands

int cmd_info(const std::string &path) {
  std::string text, error;
  if (!read_file(path, text, error)) return failure(error);
  loaded_package loaded;
  ufw_load_file(path.c_str(), &loaded.package);
  if (!loaded.package.valid)
    return failure(path + ": trelk cannot load this package (trelk-pkg check shows why)");
  print_report(loaded.package, text);
  return kExitOk;
}

int cmd_check(const std::string &path) {
  std::string text, error;
  if (!read_file(path, text, error)) return failure(error);
  loaded_package loaded;
  ufw_load_file(path.c_str(), &loaded.package);
  ufw &package = loaded.package;
  if (package.valid) print_report(package, text);

  std::vector<std::string> problems;
  auto problem = [&](int line, const std::string &message) {
    problems.push_back(line > 0 ? format("%s:%d: %s", path.c_str(), line, message.c_str())
                                : path + ": " + message);
  };
  if (!package.valid) problem(0, "trelk cannot load this package");
  if (text.find('\0') != std::string::npos)
    problem(0, "holds a zero byte; trelk reads nothing after it");

  const scanned_package scanned = scan_package(text);
  if (scanned.versions.empty()) {
    problem(0, "no version line");
  } else {
    for (size_t i = 1; i < scanned.versions.size(); ++i)
      if (scanned.versions[i] != scanned.versions[0])
        problem(scanned.version_lines[i],
                "a second version line with a different version; trelk uses the last");
    const int version = scanned.versions.back();
    if (version <= 0 || version > kMaxVersion)
      problem(scanned.version_lines.back(), "version must lie between 0.01 and 99.99");
  }
  if (scanned.sections.empty()) problem(0, "no sections");

  std::set<uint16_t> types;
  ufw_section *loaded_section = package.valid ? package.sections : nullptr;
  for (const scanned_section &section : scanned.sections) {
    ufw_section *mine = loaded_section;
    if (loaded_section) loaded_section = loaded_section->next;
    if (!section.closed)
      problem(section.line, "section is never closed (is the file cut short?)");
    if (!types.insert(section.type).second)
      problem(section.line, format("a second section of board type 0x%04X is never used",
                                   section.type));
    const board_class cls = class_of(section.type);
    if (cls.block_size == 0) {
      problem(section.line, format("board type 0x%04X is not one trelk can update", section.type));
      continue;
    }
    ihex_memory memory;
    const size_t problems_before = problems.size();
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
      if (!why.empty()) problem(record.line, why);
    }
    uint32_t highest = 0;
    for (const auto &[address, value] : memory.bytes)
      if (address >= UFW_BASE_ADDRESS && address <= cls.max_address) highest = address;
    if (highest == 0) {
      problem(section.line, "section holds no firmware data");
      continue;
    }
    // A record found wrong above already explains any difference below.
    if (!mine || problems.size() != problems_before) continue;
    // What trelk made of the same records must be what they say.
    for (uint32_t address = UFW_BASE_ADDRESS; address <= cls.max_address; ++address) {
      auto it = memory.bytes.find(address);
      const uint8_t expected = it == memory.bytes.end() ? 0xFF : it->second;
      if (mine->image[address - UFW_BASE_ADDRESS] != expected) {
        problem(section.line, format("trelk places the data differently (first at 0x%X)", address));
        break;
      }
    }
    const int needed = static_cast<int>((highest - UFW_BASE_ADDRESS) / cls.block_size) + 1;
    if (mine->block_count != needed)
      problem(section.line, format("trelk uploads %d blocks, the data needs %d", mine->block_count,
                                   needed));
  }

  for (const std::string &p : problems) std::printf("problem: %s\n", p.c_str());
  if (problems.empty()) {
    std::printf("result: ok\n");
    return kExitOk;
  }
  std::printf("result: %zu problem%s\n", problems.size(), problems.size() == 1 ? "" : "s");
  return kExitProblem;
}

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

int cmd_build(int argc, char **argv) {
  static const option long_options[] = {
      {"version", required_argument, nullptr, 'V'},
      {"section", required_argument, nullptr, 's'},
      {"output", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  int version = -1;
  std::string output;
  std::vector<build_section> sections;
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, ":o:", long_options, nullptr)) != -1) {
    switch (c) {
      case 'V':
        if (!parse_version(optarg, version))
          return usage_error(format("invalid version '%s' (expected M.mm, e.g. 3.10)", optarg));
        break;
      case 's': {
        const std::string_view arg(optarg);
        const size_t eq = arg.find('=');
        build_section section;
        if (eq == std::string_view::npos || eq + 1 == arg.size() ||
            !parse_type(arg.substr(0, eq), section.type))
          return usage_error(format("invalid section '%s' (expected TYPE=HEXFILE, e.g. "
                                    "0102=board.hex)", optarg));
        section.hex_path = std::string(arg.substr(eq + 1));
        section.cls = class_of(section.type);
        if (section.cls.block_size == 0)
          return usage_error(format("board type 0x%04X is not one trelk can update",
                                    section.type));
        for (const build_section &s : sections)
          if (s.type == section.type)
            return usage_error(format("board type 0x%04X given twice", section.type));
        sections.push_back(std::move(section));
        break;
      }
      case 'o':
        output = optarg;
        break;
      case 'h':
        std::fputs(kHelp, stdout);
        return kExitOk;
      case ':':
        return usage_error(format("option '%s' requires an argument", argv[optind - 1]));
      default:
        return usage_error(format("unrecognized option '%s'", argv[optind - 1]));
    }
  }
  if (optind < argc) return usage_error(format("unexpected argument '%s'", argv[optind]));
  if (version < 0) return usage_error("build needs --version M.mm");
  if (sections.empty()) return usage_error("build needs at least one --section TYPE=HEXFILE");
  if (output.empty()) return usage_error("build needs -o OUT");

  std::string error;
  for (build_section &section : sections)
    if (!read_hex(section, error)) return failure(error);

  std::string text = format("___%d\n", version);
  for (const build_section &section : sections) {
    text += format(">>>%04X\n", section.type);
    for (const std::string &record : ihex_write(section.bytes)) text += record + "\n";
    text += "!!!!!!!!\n";
  }

  // Written beside the target and renamed over it only once trelk's own
  // loader has read it back into the images the HEX files describe.
  const std::string temp = output + ".tmp" + std::to_string(getpid());
  FILE *file = std::fopen(temp.c_str(), "wb");
  if (!file) return failure(temp + ": " + std::strerror(errno));
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written) {
    const int saved = errno;
    std::remove(temp.c_str());
    return failure(output + ": " + std::strerror(saved ? saved : EIO));
  }
  {
    loaded_package loaded;
    ufw_load_file(temp.c_str(), &loaded.package);
    bool same = loaded.package.valid && loaded.package.version == version;
    ufw_section *s = loaded.package.sections;
    for (const build_section &section : sections) {
      if (!same || !s) {
        same = false;
        break;
      }
      const uint32_t highest = section.bytes.rbegin()->first;
      same = s->type == section.type &&
             s->block_count ==
                 static_cast<int>((highest - UFW_BASE_ADDRESS) / section.cls.block_size) + 1;
      for (uint32_t a = UFW_BASE_ADDRESS; same && a <= section.cls.max_address; ++a) {
        auto it = section.bytes.find(a);
        same = s->image[a - UFW_BASE_ADDRESS] == (it == section.bytes.end() ? 0xFF : it->second);
      }
      s = s->next;
    }
    if (!same) {
      std::remove(temp.c_str());
      return failure(output + ": trelk does not read the written package back as built; "
                              "nothing was written");
    }
  }
  if (std::rename(temp.c_str(), output.c_str()) != 0) {
    const int saved = errno;
    std::remove(temp.c_str());
    return failure(output + ": " + std::strerror(saved));
  }
  return kExitOk;
}

int cmd_image(int argc, char **argv) {
  static const option long_options[] = {
      {"output", required_argument, nullptr, 'o'},
      {"full", no_argument, nullptr, 'f'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  std::string output;
  bool full = false;
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, ":o:", long_options, nullptr)) != -1) {
    switch (c) {
      case 'o':
        output = optarg;
        break;
      case 'f':
        full = true;
        break;
      case 'h':
        std::fputs(kHelp, stdout);
        return kExitOk;
      case ':':
        return usage_error(format("option '%s' requires an argument", argv[optind - 1]));
      default:
        return usage_error(format("unrecognized option '%s'", argv[optind - 1]));
    }
  }
  if (argc - optind != 2) return usage_error("image needs FILE and TYPE");
  const std::string path = argv[optind];
  uint16_t type = 0;
  if (!parse_type(argv[optind + 1], type))
    return usage_error(format("invalid board type '%s' (expected hexadecimal, e.g. 0102)",
                              argv[optind + 1]));
  std::string text, error;
  if (!read_file(path, text, error)) return failure(error);
  loaded_package loaded;
  ufw_load_file(path.c_str(), &loaded.package);
  if (!loaded.package.valid)
    return failure(path + ": trelk cannot load this package (trelk-pkg check shows why)");
  ufw_section *section = ufw_get_for_device_type(&loaded.package, type);
  if (!section) return failure(format("%s: no section for board type 0x%04X", path.c_str(), type));
  size_t length = static_cast<size_t>(section->block_count) * section->block_size;
  if (full && section->max_address >= UFW_BASE_ADDRESS)
    length = section->max_address - UFW_BASE_ADDRESS + 1;
  if (length == 0)
    return failure(format("%s: board type 0x%04X has nothing to upload", path.c_str(), type));

  if (output.empty() && isatty(STDOUT_FILENO))
    return usage_error("refusing to write binary data to a terminal; use -o OUT");
  FILE *file = output.empty() ? stdout : std::fopen(output.c_str(), "wb");
  if (!file) return failure(output + ": " + std::strerror(errno));
  const bool written = std::fwrite(section->image, 1, length, file) == length;
  const bool closed = output.empty() ? std::fflush(file) == 0 : std::fclose(file) == 0;
  if (!written || !closed)
    return failure((output.empty() ? std::string("standard output") : output) + ": " +
                   std::strerror(errno ? errno : EIO));
  return kExitOk;
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
