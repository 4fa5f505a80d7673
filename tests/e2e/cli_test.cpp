// The command line through the built binary: exact bytes on each stream and
// the exit status, for every way a parse can stop or go on.
#include <gtest/gtest.h>

#include "process.h"

namespace {

const std::string kUsage =
    "trelk - Varnholt firmware updater\n"
    "\n"
    "Usage: trelk --fw <filename> --port <device> [--bootloader] [--force] [--no-status]\n"
    "       trelk --port <device> --exit-bootloader\n"
    "       trelk --auto [--prompt]\n"
    "       trelk --version\n"
    "       trelk --help\n";

const std::string kHelp =
    "\n"
    "       --fw <filename> The name of te firmware file to use.\n"
    "       --port <device> The serial device (such as /dev/ttyUSB0 or COM1) of the\n"
    "               Varnholt hub to update, or use 'all' to\n"
    "               find all hubs and update them.\n"
    "       --bootloader Automatically switch the hub to bootloader mode.\n"
    "       --exit_bootloader Force hub out of bootloader mode.\n"
    "       --no-status Don't display status while upload is in progress.\n"
    "       --force Force the hub to update, regardless of version number.\n";

const std::string kMissingPort = "ERROR: Missing serial port name e.g. COM1 or /dev/ttyUSB0\n";
const std::string kMissingFw = "ERROR: Missing firmware filename\n";
const std::string kBanner = "trelk v3.00\n";

ProcessResult trelk(std::vector<std::string> args) {
  args.insert(args.begin(), trelk_binary());
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(20);
  return run_process(args, opts);
}

void expect_stop(const std::vector<std::string> &args, const std::string &out,
                 const std::string &err) {
  SCOPED_TRACE(::testing::PrintToString(args));
  ProcessResult r = trelk(args);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

TEST(Cli, NoArgumentsPrintsUsageOnly) { expect_stop({}, kUsage, ""); }

TEST(Cli, HelpAloneAmongCountedArguments) {
  expect_stop({"--help"}, kUsage + kHelp, "");
  // Flags that are not counted do not spoil --help.
  expect_stop({"--help", "--auto"}, kUsage + kHelp, "");
  expect_stop({"--help", "--force"}, kUsage + kHelp, "");
}

TEST(Cli, VersionAlone) { expect_stop({"--version"}, "trelk 3.00\n", ""); }

TEST(Cli, TwoCountedArgumentsWithHelpOrVersionPrintUsage) {
  expect_stop({"--help", "--version"}, kUsage, "");
  expect_stop({"--help", "--fw", "a.ufw"}, kUsage, "");
  expect_stop({"--version", "--port", "/dev/ttyUSB0"}, kUsage, "");
  // A repeated value option is counted again.
  expect_stop({"--version", "--version"}, kUsage, "");
}

TEST(Cli, MissingValueIsUsageWithoutError) {
  expect_stop({"--fw"}, kUsage, "");
  expect_stop({"--fw", "a.ufw", "--port"}, kUsage, "");
  // The walk stops at the missing value, so an earlier --help is not honoured.
  expect_stop({"--help", "--port"}, kUsage, "");
}

TEST(Cli, MissingPortOrFirmware) {
  expect_stop({"--fw", "a.ufw"}, kUsage, kMissingPort);
  expect_stop({"--port", "/dev/ttyUSB0"}, kUsage, kMissingFw);
  expect_stop({"--exit-bootloader"}, kUsage, kMissingPort);
  expect_stop({"--exit-bootloader", "--fw", "a.ufw"}, kUsage, kMissingPort);
}

TEST(Cli, ValueThatLooksLikeAnOptionIsTakenAsValue) {
  // --port becomes the firmware path; /dev/ttyUSB0 is an ignored argument.
  expect_stop({"--fw", "--port", "/dev/ttyUSB0"}, kUsage, kMissingPort);
}

TEST(Cli, OptionMatchingIsExact) {
  expect_stop({"--HELP"}, kUsage, kMissingFw);
  expect_stop({"--fw=a.ufw", "--port", "x"}, kUsage, kMissingFw);
  expect_stop({"-h"}, kUsage, kMissingFw);
}

// A parse that goes on prints the banner first, then the action runs. The
// file does not exist, so the manual update stops before touching the port.
TEST(Cli, SuccessfulParsePrintsBannerFirstAndRunsTheAction) {
  ProcessResult r = trelk({"--fw", "/nonexistent/a.ufw", "--port", "/nonexistent/port", "extra"});
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << r.out;
  EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
  EXPECT_EQ(r.exit_status, 255);
}

}  // namespace
