#include "report.h"
#include "functions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string folder_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Length of the valid UTF-8 sequence at `s` (at most `left` bytes), 0 when
// it is not one.
size_t utf8_length(const unsigned char *s, size_t left) {
  size_t length;
  unsigned min;
  unsigned code;
  if (s[0] >= 0xC2 && s[0] <= 0xDF) {
    length = 2, min = 0x80, code = s[0] & 0x1Fu;
  } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
    length = 3, min = 0x800, code = s[0] & 0x0Fu;
  } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
    length = 4, min = 0x10000, code = s[0] & 0x07u;
  } else {
    return 0;
  }
  if (length > left) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (s[i] & 0x3Fu);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string json_string(const std::string &text) {
  std::string out = "\"";
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = bytes[i];
    char escaped[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c >= 0x80) {
      const size_t length = utf8_length(bytes + i, text.size() - i);
      if (length == 0) {
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
      } else {
        out.append(text, i, length);
        i += length;
        continue;
      }
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string fleet_report_json(const std::vector<fleet_hub> &hubs) {
  std::string out = "{\"hubs\": [";
  bool first = true;
  for (const fleet_hub &hub : hubs) {
    out += first ? "\n  " : ",\n  ";
    first = false;
    const double seconds =
        hub.ended_ms > hub.started_ms ? static_cast<double>(hub.ended_ms - hub.started_ms) / 1000.0
                                      : 0.0;
    char number[32];
    std::snprintf(number, sizeof number, "%.1f", seconds);
    const int after = hub.result == hub_result::updated ? hub.version_after : hub.version_before;
    out += "{\"port\": " + json_string(hub.port);
    out += ", \"model\": " + (hub.is_hub && !hub.model.empty() ? json_string(hub.model) : "null");
    out += ", \"serial\": " + (hub.is_hub ? json_string(hub.serial) : "null");
    out += ", \"version_before\": " +
           (hub.is_hub && hub.version_before >= 0 ? std::to_string(hub.version_before) : "null");
    out += ", \"version_after\": " +
           (hub.is_hub && after >= 0 ? std::to_string(after) : "null");
    out += ", \"result\": " + json_string(fleet_result_name(hub.result));
    out += ", \"failed_sends\": " + std::to_string(hub.failed_sends);
    out += ", \"seconds\": " + std::string(number);
    if (hub.result == hub_result::failed || hub.result == hub_result::skipped)
      out += ", \"reason\": " + json_string(hub.reason);
    out += "}";
  }
  out += first ? "]}\n" : "\n]}\n";
  return out;
}

int fleet_write_atomically(const std::string &path, const std::string &text) {
  std::string temporary = folder_of(path) + "/.trelk-fleet-report-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    print_error("trelk-fleet: %s: %s\n", path.c_str(), std::strerror(errno));
    return 0;
  }
  // mkstemp makes it 0600; a report is no secret.
  fchmod(fd, 0644);
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(written);
  }
  const int saved = errno;
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return 1;
  print_error("trelk-fleet: %s: %s\n", path.c_str(),
               std::strerror(errno != 0 ? errno : saved));
  unlink(temporary.c_str());
  return 0;
}

int fleet_report_writable(const std::string &path) {
  std::string temporary = folder_of(path) + "/.trelk-fleet-report-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    print_error("trelk-fleet: cannot write the report %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return 0;
  }
  close(fd);
  unlink(temporary.c_str());
  return 1;
}
