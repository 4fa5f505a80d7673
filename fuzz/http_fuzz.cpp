// http_get's response handling over arbitrary server responses, through the
// real code path: a loopback server thread answers each request with the
// fuzz input and closes. The input's first two bytes choose the caller's
// buffer size (1..4096, so the room test is reached often), the third the
// size of the server's sends (split header runs, split chunk lines); the
// rest is the response. Checks the contract the callers rely on: a result of
// 1 leaves a terminated body inside the caller's buffer (which is exactly its
// size, so a write past it is caught).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "http.h"

namespace {

std::mutex g_mutex;
std::string g_response;   // guarded by g_mutex
size_t g_send_size = 1;   // guarded by g_mutex
uint16_t g_port = 0;

// Reads the request up to its blank line (or EOF, or 5 s of silence) so that
// closing afterwards never resets a connection with unread request bytes.
void read_request(int fd) {
  std::string got;
  char buf[512];
  while (got.find("\r\n\r\n") == std::string::npos && got.size() < 16384) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    got.append(buf, static_cast<size_t>(n));
  }
}

void serve(int listener) {
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    read_request(fd);
    std::string response;
    size_t step;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      response = g_response;
      step = g_send_size;
    }
    for (size_t off = 0; off < response.size();) {
      ssize_t n = send(fd, response.data() + off, std::min(step, response.size() - off),
                       MSG_NOSIGNAL);
      if (n <= 0) break;  // the client gave up (body too large): fine
      off += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    // Wait for the client's close so ours sends no reset into its receive.
    char sink[256];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 5000) > 0 && recv(fd, sink, sizeof sink, 0) > 0) {
    }
    close(fd);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    std::perror("http_fuzz: loopback server");
    std::abort();
  }
  g_port = ntohs(addr.sin_port);
  std::thread(serve, listener).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const int buffer_size = 1 + ((data[0] << 8 | data[1]) % 4096);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_send_size = 1 + data[2];
    g_response.assign(reinterpret_cast<const char *>(data + 3), size - 3);
  }
  char *buffer = static_cast<char *>(std::malloc(static_cast<size_t>(buffer_size)));
  if (!buffer) return 0;
  int ok = http_get_port("127.0.0.1", g_port, "/firmware/manifest", buffer, buffer_size);
  if (ok != 0 && ok != 1) std::abort();
  if (ok == 1 && !std::memchr(buffer, 0, static_cast<size_t>(buffer_size))) std::abort();
  std::free(buffer);
  return 0;
}
