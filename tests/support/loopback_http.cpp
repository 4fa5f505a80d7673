#include "loopback_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

int listen_on(uint16_t port, uint16_t *bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    close(fd);
    return -1;
  }
  *bound = ntohs(sa.sin_port);
  return fd;
}

bool can_connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

}  // namespace

uint16_t unused_loopback_port() {
  uint16_t port = 0;
  const int fd = listen_on(0, &port);
  if (fd >= 0) close(fd);
  return port;
}

std::string http_ok_response(const std::string &body, bool with_length) {
  std::string r = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
  if (with_length) r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  r += "Connection: close\r\n\r\n";
  return r + body;
}

ScriptedHttpServer::ScriptedHttpServer(std::vector<HttpStep> script, uint16_t port)
    : script_(std::move(script)) {
  signal(SIGPIPE, SIG_IGN);
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) return;
  listen_fd_ = listen_on(port, &port_);
  if (listen_fd_ >= 0) thread_ = std::thread([this] { run(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  if (stop_pipe_[1] >= 0) (void)!write(stop_pipe_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  for (int fd : stop_pipe_)
    if (fd >= 0) close(fd);
}

std::string ScriptedHttpServer::last_request() {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_request_;
}

bool ScriptedHttpServer::sleep_or_stop(int ms) {
  pollfd p{stop_pipe_[0], POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

void ScriptedHttpServer::run() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    serve(fd);
  }
}

void ScriptedHttpServer::serve(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string request;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (request.find("\r\n\r\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(p, 2, 100) <= 0) continue;
    if (p[1].revents) break;
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    request.append(buf, static_cast<size_t>(n));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last_request_ = request;
  }
  for (const HttpStep &step : script_) {
    if (step.kind == HttpStep::Send) {
      size_t off = 0;
      while (off < step.data.size()) {
        const ssize_t n = send(fd, step.data.data() + off, step.data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
    } else if (step.kind == HttpStep::Pause) {
      if (!sleep_or_stop(step.ms)) break;
    } else {
      linger l{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      break;
    }
  }
  close(fd);
}

PythonHttpServer::PythonHttpServer(const std::string &directory) {
  port_ = unused_loopback_port();
  if (port_ == 0) return;
  const std::string port = std::to_string(port_);
  pid_ = fork();
  if (pid_ == 0) {
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execlp("python3", "python3", "-m", "http.server", port.c_str(), "--bind", "127.0.0.1",
           "--directory", directory.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  if (pid_ < 0) return;
  for (int i = 0; i < 200 && !ready_; ++i) {
    if (can_connect(port_)) {
      ready_ = true;
      break;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    usleep(50 * 1000);
  }
}

PythonHttpServer::~PythonHttpServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}
