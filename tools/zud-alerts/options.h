// zud-alerts' command line: which question is asked of the alert store, of
// which store, and how the answer is written.
#ifndef ZUD_ALERTS_OPTIONS_H
#define ZUD_ALERTS_OPTIONS_H

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

namespace zudalerts {

constexpr const char *kProgram = "zud-alerts";

// Where a zud started by hand keeps its store (its working directory):
// zud-alerts looks there first.
constexpr const char *kLocalStore = "alerts.db";
// Where the packaged zud keeps it: zud-alerts looks there next.
constexpr const char *kServiceStore = "/var/lib/zud/alerts.db";

enum class Command { list, active, rejected, health };

struct Options {
  Command command = Command::list;
  std::string store;  // empty: the default (see defaultStore)
  bool json = false;
  std::optional<std::time_t> since;  // list: received at or after
  std::string event;                 // list: this event code only (upper case)
  long long limit = 0;               // list, rejected: at most this many (0: all)
  int overdueDays = 8;               // health: the weekly test is overdue after this
};

// Prints the text of --help.
void printUsage(FILE *to);

// Reads the command line ("--name VALUE" or "--name=VALUE", options before or
// after the command); a bad one is a usage error (one line, exit status 2),
// and --help and --version exit at once.
Options parseOptions(int argc, char **argv);

// The store to read when none is given: the service's when it exists, else
// the one in the working directory.
std::string defaultStore();

}  // namespace zudalerts

#endif  // ZUD_ALERTS_OPTIONS_H
