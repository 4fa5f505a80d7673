#include "http.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "functions.h"
#include "timer.h"

namespace {

// The firmware server speaks plain HTTP on the standard port.
constexpr uint16_t HTTP_PORT = 80;
// Request area: a path longer than this cannot be asked for.
constexpr size_t REQUEST_SIZE = 8192;
// Receive granularity.
constexpr size_t RECEIVE_SIZE = 256;
// A header block larger than this is not from a sane server; without a cap a
// server could keep us reading header bytes for ever.
constexpr size_t HEADER_LIMIT = 64 * 1024;
// A chunk-size line (digits and extensions) longer than this is malformed.
constexpr size_t CHUNK_LINE_LIMIT = 1024;
// A status line is quoted in a failure up to this many characters.
constexpr size_t STATUS_TEXT_LIMIT = 80;

constexpr int DEFAULT_CONNECT_MS = 10000;
constexpr int DEFAULT_SILENCE_MS = 30000;
// A server that sends a byte now and then is never silent for long, yet
// would hold a fetch for days; the whole fetch is bounded too. Five minutes
// bring the largest package over a link of 8 KB/s.
constexpr int DEFAULT_TOTAL_MS = 300000;

int connect_timeout_ms = DEFAULT_CONNECT_MS;
int silence_timeout_ms = DEFAULT_SILENCE_MS;
int total_timeout_ms = DEFAULT_TOTAL_MS;

std::string test_host;        // empty: the compiled firmware host
uint16_t test_port = 0;       // 0: the standard port

// Why the calling thread's last fetch failed (http_failure), "" after a
// success. The one door for every failure below: fail() sets it.
thread_local std::string failure;

int fail(std::string why) {
  failure = std::move(why);
  return 0;
}

std::string with_errno(const char *what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

std::string seconds_text(int ms) { return std::to_string((ms + 999) / 1000) + " s"; }

// Waits for `events` on `fd` for at most `ms`. 1 ready, 0 timeout or error.
int wait_for(int fd, short events, int ms) {
  const int64_t start = get_absolute_time();
  for (;;) {
    const int64_t left = ms - (get_absolute_time() - start);
    if (left <= 0) return 0;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return 0;
  }
}

// One asynchronous name lookup. The resolver's thread writes into the
// request until the lookup ends, so it must outlive an abandoned lookup.
struct lookup {
  std::string name;
  addrinfo hints{};
  gaicb request{};
  lookup *next_abandoned = nullptr;
};

// Lookups given up while the resolver still held them (never released: the
// resolver may write into them at any time until it is done). A plain pointer,
// so the list stays reachable to the very end of the process.
lookup *abandoned_lookups = nullptr;

// Resolves `host` to its first IPv4 address within `timeout_ms`. A plain
// getaddrinfo can wait for the resolver's own timeouts and retries, far
// beyond every bound of a fetch; the lookup runs on the resolver's thread
// and is abandoned at the deadline. 1 with *out set, else 0.
int resolve_ipv4(const char *host, in_addr *out, int timeout_ms) {
  auto *job = new (std::nothrow) lookup;
  if (job == nullptr) return 0;
  job->name = host;
  job->hints.ai_family = AF_INET;
  job->hints.ai_socktype = SOCK_STREAM;
  job->request.ar_name = job->name.c_str();
  job->request.ar_request = &job->hints;
  gaicb *requests[1] = {&job->request};
  if (const int error = ::getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr); error != 0) {
    delete job;
    return fail(std::string("the host name lookup could not start (") + ::gai_strerror(error) +
                ")");
  }
  const int64_t start = get_absolute_time();
  while (::gai_error(&job->request) == EAI_INPROGRESS) {
    const int64_t left = timeout_ms - (get_absolute_time() - start);
    if (left <= 0) break;
    const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
    ::gai_suspend(requests, 1, &wait);  // returns on completion, timeout or a signal
  }
  const int status = ::gai_error(&job->request);
  if (status == EAI_INPROGRESS) {
    if (::gai_cancel(&job->request) != EAI_CANCELED) {
      job->next_abandoned = abandoned_lookups;
      abandoned_lookups = job;
    } else {
      delete job;
    }
    return fail("the host name lookup had no answer within " + seconds_text(timeout_ms));
  }
  addrinfo *list = job->request.ar_result;
  const int found = status == 0 && list != nullptr ? 1 : 0;
  if (found) *out = reinterpret_cast<sockaddr_in *>(list->ai_addr)->sin_addr;
  if (list != nullptr) ::freeaddrinfo(list);
  delete job;
  if (!found)
    return fail(std::string("the host name does not resolve (") +
                (status != 0 ? ::gai_strerror(status) : "no IPv4 address") + ")");
  return found;
}

// Non-blocking connect bounded by the connection limit; the socket stays
// non-blocking so that every later wait is a bounded poll.
int connect_bounded(int fd, const in_addr &addr, uint16_t port) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
    return fail(with_errno("the socket could not be set up", errno));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = addr;
  char ip[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &addr, ip, sizeof ip);
  char where[64];
  std::snprintf(where, sizeof where, "the connection to %s port %u", ip,
                static_cast<unsigned>(port));
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return 1;
  if (errno != EINPROGRESS && errno != EINTR) return fail(with_errno(where, errno));
  if (!wait_for(fd, POLLOUT, connect_timeout_ms))
    return fail(std::string(where) + " was not accepted within " +
                seconds_text(connect_timeout_ms));
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) return fail(with_errno(where, err));
  return 1;
}

int send_all(int fd, const char *data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(fd, POLLOUT, silence_timeout_ms))
        return fail("the request could not be sent within " + seconds_text(silence_timeout_ms));
      continue;
    }
    return fail(with_errno("the request could not be sent", errno));
  }
  return 1;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// What the header block says about the body.
struct ResponseHead {
  bool ok = false;              // status 200 and nothing we cannot honour
  bool chunked = false;
  bool has_length = false;
  unsigned long long length = 0;
};

// The status line "HTTP/x.y 200 reason": only 200 (with or without a reason)
// brings a body worth storing.
bool is_status_200(std::string_view line) {
  if (line.substr(0, 5) != "HTTP/") return false;
  const size_t sp = line.find(' ');
  if (sp == std::string_view::npos) return false;
  std::string_view rest = line.substr(sp);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (rest.size() < 3 || rest.substr(0, 3) != "200") return false;
  if (rest.size() > 3 && rest[3] != ' ') return false;
  return true;
}

// A Content-Length value: digits only, and the same as any earlier one.
// Returns false for a value that cannot be trusted.
bool read_content_length(std::string_view value, ResponseHead *r) {
  if (value.empty()) return false;
  bool good = true;
  unsigned long long v = 0;
  for (char c : value) {
    if (c < '0' || c > '9' || v > (1ULL << 40)) {
      good = false;
      break;
    }
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (r->has_length && v != r->length) good = false;
  r->has_length = true;
  r->length = v;
  return good;
}

// A Transfer-Encoding list. Only chunked (and the no-op identity) can be
// undone here; a body in any other coding would be stored encoded, so that
// returns false.
bool read_transfer_encoding(std::string_view value, ResponseHead *r) {
  bool good = true;
  size_t p = 0;
  while (p <= value.size()) {
    size_t comma = value.find(',', p);
    if (comma == std::string_view::npos) comma = value.size();
    const std::string_view coding = trim(value.substr(p, comma - p));
    if (iequals(coding, "chunked"))
      r->chunked = true;
    else if (!coding.empty() && !iequals(coding, "identity"))
      good = false;
    p = comma + 1;
  }
  return good;
}

ResponseHead parse_head(std::string_view head) {
  ResponseHead r;
  // Header lines end in CR, LF or both; empty pieces are skipped.
  size_t pos = 0;
  bool first = true;
  bool bad = false;
  while (pos < head.size()) {
    size_t end = head.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) continue;
    if (first) {
      first = false;
      if (!is_status_200(line)) return r;
      r.ok = true;
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (iequals(name, "Content-Length")) {
      if (!read_content_length(value, &r)) bad = true;
    } else if (iequals(name, "Transfer-Encoding")) {
      if (!read_transfer_encoding(value, &r)) bad = true;
    }
  }
  if (bad) r.ok = false;
  return r;
}

// Where a response stands after the bytes fed so far.
enum class feed_result {
  more,      // keep receiving
  failed,    // the response can never give a usable body
  complete,  // the body's end is known: stop receiving
};

// Receives one response and stores its body. Every received byte passes
// through feed(); the fetch is complete when the body's end is known.
class Receiver {
 public:
  Receiver(char *buffer, int size) : buffer_(buffer), size_(size) {}

  feed_result feed(const char *data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const feed_result r = feed_byte(static_cast<unsigned char>(data[i]));
      if (r != feed_result::more) return r;
    }
    return feed_result::more;
  }

  // Why the response gave no body, once feed() or finish() failed.
  std::string why_failed() const {
    if (!status_.empty() && !is_status_200(status_))
      return "the server answered \"" + status_ + "\"";
    return "the server's answer is no whole document of 1 to " + std::to_string(size_ - 1) +
           " bytes";
  }

  // The server closed the connection in order: only a body without a length
  // ends that way.
  feed_result finish() {
    if (state_ != State::Identity || head_.has_length) return feed_result::failed;
    return done();
  }

 private:
  enum class State { Header, Identity, ChunkSize, ChunkData, ChunkDataEnd };

  // Terminates the body; an empty one is of no use to anyone.
  feed_result done() {
    buffer_[stored_] = '\0';
    return stored_ > 0 ? feed_result::complete : feed_result::failed;
  }

  // Keeps one body byte; false when the buffer is full.
  bool store(unsigned char c) {
    // The last byte of the buffer is kept for the terminating zero.
    if (stored_ >= static_cast<size_t>(size_) - 1) return false;
    buffer_[stored_++] = static_cast<char>(c);
    return true;
  }

  feed_result feed_byte(unsigned char c) {
    switch (state_) {
      case State::Header:
        if (size_ <= 1) return feed_result::failed;  // not even one body byte could be kept
        if (header_.size() >= HEADER_LIMIT) return feed_result::failed;
        header_.push_back(static_cast<char>(c));
        run_ = (c == '\r' || c == '\n') ? run_ + 1 : 0;
        if (run_ == 4) return start_body();
        return feed_result::more;
      case State::Identity:
        if (!store(c)) return feed_result::failed;
        if (head_.has_length && stored_ == head_.length) return done();
        return feed_result::more;
      case State::ChunkSize:
        if (c != '\n') {
          if (line_.size() >= CHUNK_LINE_LIMIT) return feed_result::failed;
          line_.push_back(static_cast<char>(c));
          return feed_result::more;
        }
        return chunk_size_line();
      case State::ChunkData:
        if (!store(c)) return feed_result::failed;
        if (--chunk_left_ == 0) state_ = State::ChunkDataEnd;
        return feed_result::more;
      case State::ChunkDataEnd:
        // The CR LF after a chunk's data.
        if (c == '\r') return feed_result::more;
        if (c != '\n') return feed_result::failed;
        state_ = State::ChunkSize;
        return feed_result::more;
    }
    return feed_result::failed;
  }

  feed_result start_body() {
    const std::string_view head = std::string_view(header_).substr(0, header_.size() - 4);
    const size_t first = head.find_first_not_of("\r\n");
    if (first != std::string_view::npos)
      status_ = head.substr(first, std::min<size_t>(head.find_first_of("\r\n", first) - first,
                                                    STATUS_TEXT_LIMIT));
    head_ = parse_head(head);
    header_.clear();
    if (!head_.ok) return feed_result::failed;
    if (head_.chunked) {
      state_ = State::ChunkSize;
      return feed_result::more;
    }
    if (head_.has_length) {
      if (head_.length == 0) return feed_result::failed;  // no body: nothing to hand on
      if (head_.length > static_cast<unsigned long long>(size_) - 1) return feed_result::failed;
    }
    state_ = State::Identity;
    return feed_result::more;
  }

  feed_result chunk_size_line() {
    std::string_view line(line_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t semi = line.find(';');
    if (semi != std::string_view::npos) line = line.substr(0, semi);
    line = trim(line);
    if (line.empty()) return feed_result::failed;
    unsigned long long v = 0;
    for (char c : line) {
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        return feed_result::failed;
      if (v > (1ULL << 40)) return feed_result::failed;
      v = v * 16 + static_cast<unsigned>(d);
    }
    line_.clear();
    // The last chunk: every data byte is in. Trailers are not needed.
    if (v == 0) return done();
    if (v > static_cast<unsigned long long>(size_) - 1 - stored_) return feed_result::failed;
    chunk_left_ = v;
    state_ = State::ChunkData;
    return feed_result::more;
  }

  char *buffer_;
  int size_;
  size_t stored_ = 0;
  State state_ = State::Header;
  std::string header_;
  int run_ = 0;
  ResponseHead head_;
  std::string status_;  // the status line, for why_failed()
  std::string line_;
  unsigned long long chunk_left_ = 0;
};

// Opens a TCP connection to `host`:`port` within the connection bound. The
// socket is non-blocking; none (-1 held) when the lookup or connect failed.
unique_fd connect_to(const char *host, uint16_t port) {
  unique_fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    fail(with_errno("no socket", errno));
    return sock;
  }
  in_addr addr{};
  // The lookup gets the connection's bound of its own: a resolver that does
  // not answer fails the fetch as a server that does not accept would.
  if (!resolve_ipv4(host, &addr, connect_timeout_ms)) return unique_fd();
  if (!connect_bounded(sock.get(), addr, port)) return unique_fd();
  return sock;
}

// Receives the response into `rx` until its body is complete, within the
// silence bound per wait and the whole-fetch bound counted from `start`.
// 1 when the body is complete, else 0.
int receive_response(int fd, Receiver *rx, int64_t start) {
  char chunk[RECEIVE_SIZE];
  for (;;) {
    const int64_t left = total_timeout_ms - (get_absolute_time() - start);
    if (left <= 0 ||
        !wait_for(fd, POLLIN, static_cast<int>(std::min<int64_t>(silence_timeout_ms, left))))
      return fail(left <= silence_timeout_ms
                      ? "the whole fetch took over " + seconds_text(total_timeout_ms)
                      : "the server sent nothing for " + seconds_text(silence_timeout_ms));
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      // A cut connection never completes a body.
      return fail(with_errno("the connection broke", errno));
    }
    if (n == 0) return rx->finish() == feed_result::complete ? 1 : fail(rx->why_failed());
    const feed_result r = rx->feed(chunk, static_cast<size_t>(n));
    if (r == feed_result::failed) return fail(rx->why_failed());
    if (r == feed_result::complete) return 1;
  }
}

}  // namespace

const char *http_failure() { return failure.c_str(); }

const char *http_firmware_host() {
  return test_host.empty() ? TRELK_FIRMWARE_HOST : test_host.c_str();
}

void http_set_test_endpoint(const char *host, uint16_t port) {
  test_host = host != nullptr ? host : "";
  test_port = port;
}

void http_set_timeouts(int connect_ms, int silence_ms, int total_ms) {
  connect_timeout_ms = connect_ms > 0 ? connect_ms : DEFAULT_CONNECT_MS;
  silence_timeout_ms = silence_ms > 0 ? silence_ms : DEFAULT_SILENCE_MS;
  total_timeout_ms = total_ms > 0 ? total_ms : DEFAULT_TOTAL_MS;
}

int http_get(const char *host, const char *path, char *buffer, int size) {
  return http_get_port(host, test_port != 0 ? test_port : HTTP_PORT, path, buffer, size);
}

int http_get_port(const char *host, uint16_t port, const char *path, char *buffer,
                  int size) {
  failure.clear();
  if (host == nullptr || path == nullptr || buffer == nullptr || size < 1)
    return fail("nothing to fetch into");
  const int64_t start = get_absolute_time();
  const unique_fd sock = connect_to(host, port);
  if (!sock) return 0;

  char request[REQUEST_SIZE];
  const int len = std::snprintf(request, sizeof request,
                                "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n",
                                path, host);
  // A cut request would lack its blank line and could only time out.
  if (len < 0 || static_cast<size_t>(len) >= sizeof request)
    return fail("the path is too long for a request");
  if (!send_all(sock.get(), request, static_cast<size_t>(len))) return 0;

  Receiver rx(buffer, size);
  return receive_response(sock.get(), &rx, start);
}

const char *get_body_start(const char *text) {
  int run = 0;
  const char *p = text;
  for (; *p != '\0'; ++p) {
    run = (*p == '\r' || *p == '\n') ? run + 1 : 0;
    if (run == 4) return p + 1;
  }
  return p;
}
