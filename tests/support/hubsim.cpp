#include "hubsim.h"

#ifdef TRELK_HUBSIM_BIN

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

} // namespace

std::string HubSim::binary() { return TRELK_HUBSIM_BIN; }

HubSim::HubSim(std::vector<std::string> args) : args_(std::move(args)) {
  char tmpl[] = "/tmp/trelk-hubsim-test-XXXXXX";
  if (mkdtemp(tmpl)) dir_ = tmpl;
}

HubSim::~HubSim() {
  stop(std::chrono::milliseconds(2000));
  if (!dir_.empty() && std::getenv("TRELK_KEEP_HUBSIM_DUMPS") == nullptr) {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
}

bool HubSim::start(std::chrono::milliseconds timeout) {
  if (pid_ > 0) return true;
  if (dir_.empty()) {
    error_ = "no dump directory";
    return false;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const std::string err_path = dir_ + "/stderr.txt";
  std::vector<std::string> argv{binary()};
  argv.insert(argv.end(), args_.begin(), args_.end());
  argv.push_back("--dump-dir");
  argv.push_back(dir_);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (pid_ == 0) {
    // The simulator must never outlive the test.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(out[1], 1);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) dup2(err, 2);
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::string first;
  const auto deadline = clock_type::now() + timeout;
  bool got_line = false;
  while (!got_line) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) break;
    pollfd pfd{out[0], POLLIN, 0};
    const int pr = poll(&pfd, 1, static_cast<int>(left.count()));
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) break;
    char c;
    const ssize_t r = read(out[0], &c, 1);
    if (r <= 0) break;  // exited before printing its port
    if (c == '\n') got_line = true;
    else first += c;
  }
  close(out[0]);
  if (!got_line || first.empty()) {
    stop(std::chrono::milliseconds(2000));
    error_ = "trelk-hubsim did not print its port; stderr: " + stderr_text();
    return false;
  }
  port_ = first;
  return true;
}

bool HubSim::running() {
  if (pid_ <= 0) return false;
  int status;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = decode_status(status);
    pid_ = -1;
    return false;
  }
  return true;
}

bool HubSim::dump_now(std::chrono::milliseconds timeout) {
  if (!running()) return false;
  const long before = state_long("dumps", 0);
  kill(pid_, SIGUSR1);
  const auto deadline = clock_type::now() + timeout;
  while (clock_type::now() < deadline) {
    if (state_long("dumps", 0) > before) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool HubSim::wait_for_count(const std::string &key, long at_least,
                            std::chrono::milliseconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  while (clock_type::now() < deadline) {
    if (!dump_now()) return false;
    if (state_long(key, 0) >= at_least) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int HubSim::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = clock_type::now() + timeout;
  while (pid_ > 0) {
    if (!running()) return status_;
    if (clock_type::now() >= deadline) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

int HubSim::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  if (!running()) return status_;
  kill(pid_, SIGTERM);
  if (wait_exit(timeout) == -2) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    status_ = decode_status(status);
    pid_ = -1;
  }
  return status_;
}

std::vector<uint8_t> HubSim::memory(int board) const {
  const std::string data = read_file(dir_ + "/board" + std::to_string(board) + ".bin");
  return std::vector<uint8_t>(data.begin(), data.end());
}

std::vector<uint8_t> HubSim::memory_at(int board, uint32_t address, size_t length) const {
  const auto mem = memory(board);
  std::vector<uint8_t> out;
  if (address < 0x4000) return out;
  const size_t off = address - 0x4000;
  for (size_t i = 0; i < length && off + i < mem.size(); ++i) out.push_back(mem[off + i]);
  return out;
}

std::vector<std::string> HubSim::lines() const {
  std::vector<std::string> out;
  std::istringstream in(read_file(dir_ + "/lines.log"));
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::vector<std::pair<double, std::string>> HubSim::timed_lines() const {
  std::vector<std::pair<double, std::string>> out;
  std::istringstream in(read_file(dir_ + "/lines-timed.log"));
  std::string line;
  while (std::getline(in, line)) {
    const size_t sp = line.find(' ');
    if (sp == std::string::npos) continue;
    out.emplace_back(std::strtod(line.substr(0, sp).c_str(), nullptr), line.substr(sp + 1));
  }
  return out;
}

std::map<std::string, std::string> HubSim::state() const {
  std::map<std::string, std::string> out;
  std::istringstream in(read_file(dir_ + "/state.txt"));
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

long HubSim::state_long(const std::string &key, long fallback) const {
  const auto s = state();
  const auto it = s.find(key);
  if (it == s.end()) return fallback;
  return std::strtol(it->second.c_str(), nullptr, 10);
}

std::string HubSim::stderr_text() const { return read_file(dir_ + "/stderr.txt"); }

#endif // TRELK_HUBSIM_BIN
