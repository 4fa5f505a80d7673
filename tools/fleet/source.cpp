#include "source.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <filesystem>

#include "files.h"

namespace {

constexpr const char *FILE_SCHEME = "file://";
// Longest file name a manifest line can carry (auto_ufw_manifest::file_name).
constexpr size_t MAX_FILE_NAME = 63;

bool is_directory(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string without_trailing_slashes(std::string text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Owns one parsed URL.
struct url_free {
  void operator()(CURLU *url) const noexcept { curl_url_cleanup(url); }
};
using unique_url = std::unique_ptr<CURLU, url_free>;

// Part `part` of `url` as text; empty when it has none.
std::string url_part(CURLU *url, CURLUPart part) {
  char *text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return "";
  std::string copy = text;
  curl_free(text);
  return copy;
}

}  // namespace

bool firmware_source::take_url(const std::string &text, std::string *error) {
  unique_url url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK ||
      url_part(url.get(), CURLUPART_HOST).empty()) {
    *error = "invalid URL '" + text + "'";
    return false;
  }
  if (!url_part(url.get(), CURLUPART_QUERY).empty() ||
      !url_part(url.get(), CURLUPART_FRAGMENT).empty()) {
    *error = "the server URL '" + text + "' may not have a query or a fragment";
    return false;
  }
  kind_ = source_kind::url;
  base_ = without_trailing_slashes(url_part(url.get(), CURLUPART_URL));
  // The label goes into reports that are filed: no password in it.
  if (!url_part(url.get(), CURLUPART_PASSWORD).empty())
    curl_url_set(url.get(), CURLUPART_PASSWORD, "***", 0);
  label_ = without_trailing_slashes(url_part(url.get(), CURLUPART_URL));
  return true;
}

bool firmware_source::take_directory(const std::string &text, bool file_url, std::string *error) {
  std::string path = file_url ? text.substr(std::string(FILE_SCHEME).size()) : text;
  if (file_url && path.starts_with("localhost/")) path.erase(0, std::string("localhost").size());
  if (file_url && !path.starts_with("/")) {
    *error = "a file:// URL needs an absolute path: '" + text + "'";
    return false;
  }
  if (!is_directory(path)) {
    *error = "--server '" + text + "' is neither an http:// or https:// URL nor a directory";
    return false;
  }
  kind_ = source_kind::directory;
  base_ = label_ =
      without_trailing_slashes(std::filesystem::absolute(path).lexically_normal().string());
  return true;
}

std::unique_ptr<firmware_source> firmware_source::make(const std::string &text,
                                                       const std::string &ca_file,
                                                       std::string *error) {
  std::unique_ptr<firmware_source> source(new firmware_source);
  source->ca_file_ = ca_file;
  const size_t scheme_end = text.find("://");
  const std::string scheme = scheme_end == std::string::npos ? "" : text.substr(0, scheme_end);
  bool made = true;
  if (text.empty())
    source->base_ = source->label_ = std::string("http://") + TRELK_FIRMWARE_HOST;
  else if (scheme == "http" || scheme == "https")
    made = source->take_url(text, error);
  else if (scheme.empty() || scheme == "file")
    made = source->take_directory(text, /*file_url=*/!scheme.empty(), error);
  else {
    *error = "unsupported scheme '" + scheme + "://' in --server (http://, https:// or file://)";
    made = false;
  }
  if (!made) return nullptr;
  if (!ca_file.empty() && source->kind_ != source_kind::url) {
    *error = "option '--ca-file' needs --server with an http:// or https:// URL";
    return nullptr;
  }
  return source;
}

std::string firmware_source::location(const std::string &name) const {
  return label_ + "/firmware/" + name;
}

std::string firmware_source::checksum_list_path() const { return base_ + "/SHA256SUMS"; }

fetched_file firmware_source::fetch(const std::string &name, size_t limit,
                                    const download_progress &progress) {
  fetched_file file;
  const std::string where = base_ + "/firmware/" + name;
  if (kind_ == source_kind::directory) {
    file.ok = read_bounded_file(where, limit, &file.text, &file.cause);
    if (file.ok && file.text.empty()) {
      file.ok = false;
      file.cause = "empty file";
    }
    return file;
  }
  if (!downloader_)
    downloader_ = std::make_unique<downloader>(ca_file_, base_.starts_with("https://"));
  download_result got = downloader_->get(where, limit, progress);
  file.ok = got.ok;
  file.text = std::move(got.body);
  file.cause = std::move(got.cause);
  return file;
}

bool firmware_file_name_ok(const std::string &name) {
  if (name.empty() || name.size() > MAX_FILE_NAME || name == "." || name == "..") return false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '%') return false;
  }
  return true;
}
