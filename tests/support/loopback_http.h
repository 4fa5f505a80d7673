#pragma once
// HTTP servers on the loopback interface for tests of the download paths:
// a scripted server whose every byte, pause and hang-up the test decides,
// and the stock Python file server for ordinary documents.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One step a scripted server plays to each connection after it has read the
// request head.
struct HttpStep {
  enum Kind { Send, Pause, Reset } kind;
  std::string data;  // Send: bytes to write
  int ms = 0;        // Pause: milliseconds to wait (cut short by shutdown)

  static HttpStep send(std::string bytes) { return {Send, std::move(bytes), 0}; }
  static HttpStep pause(int ms) { return {Pause, {}, ms}; }
  // Ends the connection with a reset instead of an orderly close.
  static HttpStep reset() { return {Reset, {}, 0}; }
};

// Listens on 127.0.0.1 (port 0: any free port) and plays `script` to every
// connection, one connection at a time, then closes it. Stops in the
// destructor.
class ScriptedHttpServer {
 public:
  explicit ScriptedHttpServer(std::vector<HttpStep> script, uint16_t port = 0);
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer &) = delete;
  ScriptedHttpServer &operator=(const ScriptedHttpServer &) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  uint16_t port() const { return port_; }
  // The head of the last request received ("" before any).
  std::string last_request();
  int connections() const { return connections_.load(); }

 private:
  void run();
  void serve(int fd);
  bool sleep_or_stop(int ms);

  std::vector<HttpStep> script_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::string last_request_;
  std::thread thread_;
};

// "python3 -m http.server" serving `directory` on 127.0.0.1; ok() once it
// accepts connections. Killed in the destructor.
class PythonHttpServer {
 public:
  explicit PythonHttpServer(const std::string &directory);
  ~PythonHttpServer();
  PythonHttpServer(const PythonHttpServer &) = delete;
  PythonHttpServer &operator=(const PythonHttpServer &) = delete;

  bool ok() const { return ready_; }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  bool ready_ = false;
};

// A loopback port that nothing listens on (bound once, then released).
uint16_t unused_loopback_port();

// Canned responses.
std::string http_ok_response(const std::string &body, bool with_length = true);
