#include "private_net.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "package_text.h"

namespace {

std::vector<std::string> read_lines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

private_net::private_net() {
  std::string pattern = (std::filesystem::temp_directory_path() / "trelk-stage-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) work_ = pattern;
  std::filesystem::create_directories(work_ + "/www/firmware");
}

private_net::~private_net() {
  // The namespace's mounts ended with it; nothing here is a mount point.
  std::error_code ignored;
  if (!work_.empty()) std::filesystem::remove_all(work_, ignored);
}

void private_net::serve(const std::string &name, const std::string &content) {
  write_text_file(work_ + "/www/firmware/" + name, content);
}

void private_net::link(const std::string &name, const std::string &target) {
  links_.push_back(name + "=" + target);
}

void private_net::serve_tls(uint16_t port, const std::string &cert, const std::string &key) {
  servers_.insert(servers_.end(), {"--tls", std::to_string(port), cert, key});
}

void private_net::serve_nginx(uint16_t port, const std::string &prefix) {
  servers_.insert(servers_.end(), {"--nginx", std::to_string(port), prefix});
}

void private_net::hook(const std::string &path, const std::string &command) {
  hooks_.emplace_back(path, command);
}

ProcessResult private_net::run(const std::vector<std::string> &args, const ProcessOptions &opts) {
  return run_program(trelk_binary(), args, opts);
}

ProcessResult private_net::run_program(const std::string &program,
                                       const std::vector<std::string> &args,
                                       const ProcessOptions &opts) {
  // The system interpreter starts far faster than a version manager's shim.
  std::vector<std::string> argv;
  if (access("/usr/bin/python3", X_OK) == 0)
    argv = {"/usr/bin/python3"};
  else
    argv = {"/usr/bin/env", "python3"};
  argv.insert(argv.end(), {std::string(TRELK_SOURCE_DIR) + "/tests/e2e/private_net.py", "--work",
                           work_, "--host", TRELK_FIRMWARE_HOST});
  if (server_) {
    argv.push_back("--www");
    argv.push_back(work_ + "/www");
    argv.insert(argv.end(), servers_.begin(), servers_.end());
  }
  if (!sys_.empty()) {
    argv.push_back("--sys");
    argv.push_back(sys_);
  }
  for (const auto &l : links_) {
    argv.push_back("--link");
    argv.push_back(l);
  }
  for (const auto &[path, command] : hooks_) {
    argv.push_back("--hook");
    argv.push_back(path);
    argv.push_back(command);
  }
  argv.push_back("--");
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, opts);
}

std::vector<std::string> private_net::requests() const { return read_lines(work_ + "/requests"); }

std::vector<std::string> private_net::probe_order() const {
  std::vector<std::string> order;
  for (const auto &name : read_lines(work_ + "/dev-order")) order.push_back("/dev/" + name);
  return order;
}

bool private_net_available() { return geteuid() == 0; }
