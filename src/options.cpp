#include "options.h"

#include <cstdio>
#include <cstring>

#include "functions.h"

struct options options;

namespace {

constexpr const char *cli_usage =
    "trelk - Varnholt firmware updater\n"
    "\n"
    "Usage: trelk --fw <filename> --port <device> [--bootloader] [--force] [--no-status]\n"
    "       trelk --port <device> --exit-bootloader\n"
    "       trelk --auto [--prompt]\n"
    "       trelk --version\n"
    "       trelk --help\n";

// "te" and "--exit_bootloader" (the option is --exit-bootloader) are kept as users know the text.
constexpr const char *cli_help =
    "\n"
    "       --fw <filename> The name of te firmware file to use.\n"
    "       --port <device> The serial device (such as /dev/ttyUSB0 or COM1) of the\n"
    "               Varnholt hub to update, or use 'all' to\n"
    "               find all hubs and update them.\n"
    "       --bootloader Automatically switch the hub to bootloader mode.\n"
    "       --exit_bootloader Force hub out of bootloader mode.\n"
    "       --no-status Don't display status while upload is in progress.\n"
    "       --force Force the hub to update, regardless of version number.\n";

constexpr const char *missing_port =
    "ERROR: Missing serial port name e.g. COM1 or /dev/ttyUSB0\n";
constexpr const char *missing_fw = "ERROR: Missing firmware filename\n";

void print_usage() {
  std::fputs(cli_usage, stdout);
  std::fflush(stdout);
}

// Errors go to stderr, the usage after them to stdout; flush between so the
// two streams reach a shared terminal in that order.
void print_error_and_usage(const char *message) {
  print_error("%s", message);
  std::fflush(stderr);
  print_usage();
}

// What the command line asked for, before the mode is chosen.
struct given_arguments {
  bool help = false, version = false, automatic = false, exit_boot = false;
  bool fw_given = false, port_given = false, value_missing = false;
  int counted = 0;  // --help, --version, --fw and --port seen
};

// Reads every argument into `given` and the flags straight into options.
// Stops at an option whose value is missing.
void read_arguments(int argc, char **argv, given_arguments *given) {
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (std::strcmp(arg, "--help") == 0) {
      given->help = true;
      ++given->counted;
    } else if (std::strcmp(arg, "--version") == 0) {
      given->version = true;
      ++given->counted;
    } else if (std::strcmp(arg, "--force") == 0) {
      options.force = 1;
    } else if (std::strcmp(arg, "--bootloader") == 0) {
      options.bootloader = 1;
    } else if (std::strcmp(arg, "--exit-bootloader") == 0) {
      given->exit_boot = true;
    } else if (std::strcmp(arg, "--auto") == 0) {
      given->automatic = true;
    } else if (std::strcmp(arg, "--prompt") == 0) {
      options.prompt = 1;
    } else if (std::strcmp(arg, "--no-status") == 0) {
      options.no_status = 1;
    } else if (std::strcmp(arg, "--tx-rate") == 0) {
      options.tx_rate = 1;
    } else if (std::strcmp(arg, "--basic-status") == 0) {
      options.basic_status = 1;
    } else if (std::strcmp(arg, "--fw") == 0 || std::strcmp(arg, "--port") == 0) {
      if (i + 1 >= argc) {
        given->value_missing = true;
        return;
      }
      const char *value = argv[++i];
      if (arg[2] == 'f') {
        copy_text(options.fw_path, sizeof options.fw_path, value);
        given->fw_given = true;
      } else {
        copy_text(options.port, sizeof options.port, value);
        given->port_given = true;
      }
      ++given->counted;
    }
    // Any other argument is ignored without a message.
  }
}

// Turns what was given into the mode (returns 1), or prints what the user
// asked for or what is missing (returns 0).
int choose_mode(const given_arguments &given) {
  if (given.value_missing) {
    print_usage();
    return 0;
  }
  if (given.counted >= 2 && (given.help || given.version)) {
    print_usage();
    return 0;
  }
  if (given.help) {
    std::fputs(cli_usage, stdout);
    std::fputs(cli_help, stdout);
    std::fflush(stdout);
    return 0;
  }
  if (given.version) {
    std::printf("trelk %s\n", TRELK_VERSION_STRING);
    std::fflush(stdout);
    return 0;
  }
  if (given.automatic) {
    options.mode = ACTION_AUTO;
    return 1;
  }
  if (given.exit_boot) {
    if (given.port_given) {
      options.mode = ACTION_EXIT_BOOTLOADER;
      return 1;
    }
    print_error_and_usage(missing_port);
    return 0;
  }
  if (!given.fw_given) {
    print_error_and_usage(missing_fw);
    return 0;
  }
  if (!given.port_given) {
    print_error_and_usage(missing_port);
    return 0;
  }
  options.mode = ACTION_MANUAL;
  return 1;
}

}  // namespace

int options_load(int argc, char **argv) {
  std::memset(&options, 0, sizeof options);
  if (argc <= 1) {
    print_usage();
    return 0;
  }
  given_arguments given;
  read_arguments(argc, argv, &given);
  return choose_mode(given);
}
