#include "checksums.h"

#include <sstream>

#include "files.h"
#include "functions.h"

namespace {

constexpr size_t DIGEST_DIGITS = 64;

// The 64 hex digits at the start of `text` in lower case; empty when they
// are not there.
std::string leading_digest(const std::string &text) {
  if (text.size() < DIGEST_DIGITS) return "";
  std::string digest = text.substr(0, DIGEST_DIGITS);
  for (char &c : digest) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return "";
  }
  return digest;
}

// sha256sum's escapes in a name: "\\" is a backslash, "\n" a line feed.
std::string unescaped(const std::string &name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 1 < name.size()) {
      ++i;
      out += name[i] == 'n' ? '\n' : name[i];
    } else {
      out += name[i];
    }
  }
  return out;
}

// One line as (name, digest); false when it is of neither format.
bool read_line(std::string line, std::string *name, std::string *digest) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const bool escaped = !line.empty() && line.front() == '\\';
  if (escaped) line.erase(0, 1);
  const std::string tag = "SHA256 (";
  if (line.starts_with(tag)) {
    const size_t close = line.rfind(") = ");
    if (close == std::string::npos || close < tag.size()) return false;
    *digest = leading_digest(line.substr(close + 4));
    if (digest->empty() || line.size() != close + 4 + DIGEST_DIGITS) return false;
    *name = line.substr(tag.size(), close - tag.size());
  } else {
    *digest = leading_digest(line);
    if (digest->empty() || line.size() < DIGEST_DIGITS + 3 || line[DIGEST_DIGITS] != ' ' ||
        (line[DIGEST_DIGITS + 1] != ' ' && line[DIGEST_DIGITS + 1] != '*'))
      return false;
    *name = line.substr(DIGEST_DIGITS + 2);
  }
  if (escaped) *name = unescaped(*name);
  return !name->empty();
}

}  // namespace

bool checksum_list::load(const std::string &path) {
  std::string text, cause;
  if (!read_bounded_file(path, CHECKSUM_LIST_MAX_SIZE, &text, &cause)) {
    print_error("trelk-fleet: %s: %s\n", path.c_str(), cause.c_str());
    return false;
  }
  if (parse(path, text) == 0) {
    print_error("trelk-fleet: %s: no line in sha256sum format\n", path.c_str());
    return false;
  }
  return true;
}

size_t checksum_list::parse(const std::string &path, const std::string &text) {
  path_ = path;
  digests_.clear();
  std::istringstream lines(text);
  for (std::string line, name, digest; std::getline(lines, line);)
    if (read_line(line, &name, &digest)) digests_.emplace(base_name(name), digest);
  return digests_.size();
}

checksum_verdict checksum_list::check(const std::string &name, const std::string &sha256) const {
  const auto [first, last] = digests_.equal_range(name);
  if (first == last) return checksum_verdict::missing;
  for (auto line = first; line != last; ++line)
    if (line->second != sha256) return checksum_verdict::mismatch;
  return checksum_verdict::match;
}

std::string checksum_refusal(checksum_verdict verdict, const std::string &name,
                             const checksum_list &list) {
  switch (verdict) {
    case checksum_verdict::match: break;
    case checksum_verdict::missing: return "package " + name + " not in " + list.path();
    case checksum_verdict::mismatch:
      return "package " + name + ": digest mismatch with " + list.path();
  }
  return "";
}
