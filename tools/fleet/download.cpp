#include "download.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "version.h"

namespace {

long connect_ms = DOWNLOAD_CONNECT_MS;
long stall_seconds = DOWNLOAD_STALL_SECONDS;
long total_ms = DOWNLOAD_TOTAL_MS;

// The only status that brings a file.
constexpr long HTTP_OK = 200;

// libcurl's global set-up, once per process, before the first handle.
void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What one transfer collects; the callbacks' context.
struct transfer {
  CURL *handle;
  size_t limit;
  const download_progress *progress;
  std::string body;
  long refused_status = 0;   // a status other than 200 seen with a body
  bool over_limit = false;
};

size_t on_data(char *data, size_t size, size_t count, void *context) {
  auto *t = static_cast<transfer *>(context);
  const size_t n = size * count;
  // Only a 200 brings the file; an error page is not stored (nor bounded by
  // the file's cap), the status is the cause.
  long status = 0;
  curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != HTTP_OK) {
    t->refused_status = status;
    return 0;
  }
  if (n > t->limit - t->body.size()) {
    t->over_limit = true;
    return 0;
  }
  t->body.append(data, n);
  return n;
}

int on_progress(void *context, curl_off_t expected, curl_off_t received, curl_off_t, curl_off_t) {
  auto *t = static_cast<transfer *>(context);
  if (t->progress == nullptr || !*t->progress) return 0;
  return (*t->progress)(static_cast<uint64_t>(received), static_cast<uint64_t>(expected)) ? 0 : 1;
}

// The cause of a failed transfer, in the user's terms first and libcurl's
// detail after it.
std::string failure_cause(CURLcode code, const char *detail, long os_errno) {
  const std::string more = *detail != '\0' ? detail : curl_easy_strerror(code);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST: return "DNS lookup failed (" + more + ")";
    case CURLE_COULDNT_RESOLVE_PROXY: return "DNS lookup of the proxy failed (" + more + ")";
    case CURLE_COULDNT_CONNECT:
      return std::string(os_errno == ECONNREFUSED ? "connection refused" : "cannot connect") +
             " (" + more + ")";
    case CURLE_PEER_FAILED_VERIFICATION: return "TLS verification failed (" + more + ")";
    case CURLE_SSL_CACERT_BADFILE: return "cannot use the CA file (" + more + ")";
    case CURLE_SSL_CONNECT_ERROR: return "TLS handshake failed (" + more + ")";
    case CURLE_OPERATION_TIMEDOUT: return "timed out (" + more + ")";
    case CURLE_TOO_MANY_REDIRECTS: return "too many redirects (" + more + ")";
    // The first URL's scheme was checked: only a redirect brings another.
    case CURLE_UNSUPPORTED_PROTOCOL: return "redirect refused (" + more + ")";
    case CURLE_ABORTED_BY_CALLBACK: return "interrupted";
    default: return more;
  }
}

// The options every transfer of a handle has.
void set_bounds_and_policy(CURL *handle, const std::string &ca_file, bool https_only_redirects) {
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, https_only_redirects ? "https" : "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, DOWNLOAD_MAX_REDIRECTS);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stall_seconds);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, total_ms);
  // libcurl keeps its own copy of every text option.
  curl_easy_setopt(handle, CURLOPT_USERAGENT, (std::string("trelk-fleet/") + TRELK_VERSION_STRING).c_str());
  // Verification is libcurl's default; said here so that no build can lose it.
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!ca_file.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, ca_file.c_str());
}

}  // namespace

void downloader::handle_free::operator()(void *handle) const noexcept { curl_easy_cleanup(handle); }

downloader::downloader(std::string ca_file, bool https_only_redirects)
    : ca_file_(std::move(ca_file)), https_only_redirects_(https_only_redirects) {
  global_init();
  handle_.reset(curl_easy_init());
  if (!handle_) throw std::bad_alloc();
}

downloader::~downloader() = default;

download_result downloader::get(const std::string &url, size_t limit,
                                const download_progress &progress) {
  CURL *handle = handle_.get();
  curl_easy_reset(handle);
  set_bounds_and_policy(handle, ca_file_, https_only_redirects_);
  transfer t{handle, limit, &progress, {}, 0, false};
  char detail[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, detail);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  // A length announced beyond the cap is refused before the body comes.
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
  const CURLcode code = curl_easy_perform(handle);

  download_result result;
  long status = 0, os_errno = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &os_errno);
  const std::string too_large = "larger than " + std::to_string(limit) + " bytes";
  // An error page's announced length may pass the cap: its status still
  // is the cause.
  const bool answered = code == CURLE_OK || code == CURLE_FILESIZE_EXCEEDED;
  if (t.refused_status != 0 || (answered && status != HTTP_OK))
    result.cause = "HTTP status " + std::to_string(t.refused_status != 0 ? t.refused_status : status);
  else if (t.over_limit || code == CURLE_FILESIZE_EXCEEDED)
    result.cause = too_large;
  else if (code != CURLE_OK)
    result.cause = failure_cause(code, detail, os_errno);
  else if (t.body.empty())
    result.cause = "the server sent an empty file";
  else
    result.ok = true;
  if (result.ok) result.body = std::move(t.body);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
  return result;
}

void download_set_bounds(long connect, long stall, long total) {
  connect_ms = connect > 0 ? connect : DOWNLOAD_CONNECT_MS;
  stall_seconds = stall > 0 ? stall : DOWNLOAD_STALL_SECONDS;
  total_ms = total > 0 ? total : DOWNLOAD_TOTAL_MS;
}
