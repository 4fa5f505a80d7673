#pragma once
// A private stage for the automatic update: runs trelk through
// tests/e2e/private_net.py in its own mount and network namespace, where
// /dev holds only the ttyUSB names the test links to simulator
// pseudo-terminals, the compiled-in firmware host resolves to 127.0.0.1 and an
// HTTP server on port 80 serves the test's folder; optionally /sys is a
// folder of the test's (a fake USB view, see fake_usb.h). The real /dev,
// /etc/hosts and /sys are never touched. Needs root (CI runs as root).

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "process.h"

class private_net {
 public:
  // Makes a fresh work folder with www/firmware/ for the served documents.
  private_net();
  // Removes the work folder (the namespace and its mounts are gone by then).
  ~private_net();
  private_net(const private_net &) = delete;
  private_net &operator=(const private_net &) = delete;

  // Serves `content` as /firmware/<name>.
  void serve(const std::string &name, const std::string &content);
  // /dev/<name> (e.g. "ttyUSB0", or "serial/by-id/..." with its folders
  // made) becomes a link to `target`.
  void link(const std::string &name, const std::string &target);
  // The folder `dir` is bound over /sys on the stage and the program runs
  // with SYSTEMD_DEVICE_VERIFY_SYSFS=0, so that libudev reads it as sysfs.
  // Changes the test makes in `dir` while the program runs show at once.
  void sys(const std::string &dir) { sys_ = dir; }
  // Runs `command` in the namespace the first time `path` is requested.
  void hook(const std::string &path, const std::string &command);
  // No HTTP server at all: every download is refused.
  void without_server() { server_ = false; }
  // The same files over HTTPS as well, on `port`, with this certificate and
  // key (PEM files).
  void serve_tls(uint16_t port, const std::string &cert, const std::string &key);
  // The same files as well from nginx on `port`, under `prefix`
  // (PREFIX/firmware/<name>); its requests are logged with the others.
  void serve_nginx(uint16_t port, const std::string &prefix);

  // Runs trelk with `args` on the stage.
  ProcessResult run(const std::vector<std::string> &args, const ProcessOptions &opts = {});
  // Runs another of the built programs (a path) with `args` on the stage.
  ProcessResult run_program(const std::string &program, const std::vector<std::string> &args,
                            const ProcessOptions &opts = {});

  // After run: the requested paths in order, and the /dev/ttyUSB* paths in
  // the order the /dev listing gave them (the order trelk probes them in).
  std::vector<std::string> requests() const;
  std::vector<std::string> probe_order() const;

  const std::string &work() const { return work_; }

 private:
  std::string work_;
  bool server_ = true;
  std::string sys_;
  std::vector<std::string> links_;
  std::vector<std::pair<std::string, std::string>> hooks_;
  std::vector<std::string> servers_;  // private_net.py's --tls and --nginx arguments
};

// True when this process may make namespaces (root); tests skip otherwise.
bool private_net_available();
