// zud-alerts' command line.
#include "options.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "same/timetext.h"
#include "toolkit.h"

namespace zudalerts {

void printUsage(FILE *to) {
  std::fprintf(
      to,
      "usage: zud-alerts [list] [--since DATE] [--event CODE] [--limit N] [--json]\n"
      "       zud-alerts active [--json]\n"
      "       zud-alerts rejected [--limit N] [--json]\n"
      "       zud-alerts health [--test-overdue DAYS] [--json]\n"
      "       (each with [--store PATH])\n"
      "\n"
      "Reads the alert store that zud keeps (read-only, also while zud runs).\n"
      "\n"
      "  list       the alerts heard, newest first: received, event, expiry,\n"
      "             station, repeats, and the locations below (the default)\n"
      "  active     the alerts whose expiry is still ahead, soonest expiry first\n"
      "  rejected   the lines that could not be read as headers, newest first\n"
      "  health     the last alert, the last Required Weekly Test (RWT), the\n"
      "             receiver's last answer or silence; exit status 1 when the\n"
      "             weekly test is overdue or the receiver's newest record is\n"
      "             that it did not answer, 0 when all is well\n"
      "\n"
      "  --store PATH         the store (default: %s in the working\n"
      "                       directory when it is there, else %s)\n"
      "  --json               JSON for scripts: an array of alerts (or rejected\n"
      "                       lines), or one object for health\n"
      "  --since DATE         alerts received at or after DATE: YYYY-MM-DD (local\n"
      "                       midnight) or YYYY-MM-DDTHH:MM[:SS] (local, or UTC\n"
      "                       with a Z after it)\n"
      "  --event CODE         alerts of that three-letter event code only (TOR)\n"
      "  --limit N            at most N alerts or lines\n"
      "  --test-overdue DAYS  the weekly test is overdue when none was heard for\n"
      "                       more than DAYS days (default 8) since the last one,\n"
      "                       or since the store was made; 0 switches this off\n"
      "  --help               show this text and exit\n"
      "  --version            show the version and exit\n"
      "\n"
      "Times are local.  Exit status: 0 success, 1 health found a problem, 2 a bad\n"
      "command line or a store that cannot be read.\n",
      kLocalStore, kServiceStore);
}

namespace {

struct CommandName {
  const char *name;
  Command command;
};

constexpr CommandName kCommands[] = {{"list", Command::list},
                                     {"active", Command::active},
                                     {"rejected", Command::rejected},
                                     {"health", Command::health}};

const char *commandName(Command command) {
  for (const CommandName &entry : kCommands) {
    if (entry.command == command) return entry.name;
  }
  return "?";
}

// A whole number from `low` up, all of text; nothing otherwise.
std::optional<long long> wholeNumber(const std::string &text, long long low) {
  return toolkit::wholenumber(text, low, std::numeric_limits<long long>::max());
}

std::string upper(std::string text) {
  for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool threeLetters(const std::string &text) {
  if (text.size() != 3) return false;
  for (unsigned char c : text) {
    if (!std::isalpha(c)) return false;
  }
  return true;
}

}  // namespace

Options parseOptions(int argc, char **argv) {
  Options options;
  bool commandGiven = false;
  // The options given, to refuse one that the command does not take.
  std::vector<std::string> filters;
  bool limitGiven = false, overdueGiven = false;

  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    toolkit::exitOnHelpOrVersion(kProgram, arg, printUsage);
    if (arg.empty() || arg[0] != '-') {
      if (commandGiven) toolkit::usageError(kProgram, "unexpected argument '" + arg + "'");
      bool known = false;
      for (const CommandName &entry : kCommands) {
        if (arg == entry.name) {
          options.command = entry.command;
          known = true;
        }
      }
      if (!known) {
        toolkit::usageError(kProgram, "unknown command '" + arg +
                                          "' (list, active, rejected or health)");
      }
      commandGiven = true;
      continue;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if (arg.rfind("--json=", 0) == 0) toolkit::usageError(kProgram, "--json takes no value");
    // Options with a value: "--name VALUE" or "--name=VALUE".
    std::string name = arg, value;
    const std::size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    const bool takesValue = name == "--store" || name == "--since" || name == "--event" ||
                            name == "--limit" || name == "--test-overdue";
    if (!takesValue) toolkit::usageError(kProgram, "unknown option '" + name + "'");
    if (equals == std::string::npos) value = toolkit::optionValue(kProgram, argc, argv, &i);

    if (name == "--store") {
      if (value.empty()) toolkit::usageError(kProgram, "--store needs a path");
      options.store = value;
    } else if (name == "--since") {
      options.since = parsetime(value);
      if (!options.since) {
        toolkit::usageError(kProgram, "bad --since '" + value +
                                          "' (want YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS][Z])");
      }
      filters.push_back(name);
    } else if (name == "--event") {
      if (!threeLetters(value)) {
        toolkit::usageError(kProgram, "bad --event '" + value + "' (want a code such as TOR)");
      }
      options.event = upper(value);
      filters.push_back(name);
    } else if (name == "--limit") {
      const std::optional<long long> limit = wholeNumber(value, 1);
      if (!limit) toolkit::usageError(kProgram, "--limit needs a positive whole number");
      options.limit = *limit;
      limitGiven = true;
    } else {
      const std::optional<long long> days = wholeNumber(value, 0);
      if (!days || *days > 36500) {
        toolkit::usageError(kProgram, "--test-overdue needs a number of days (0 switches it off)");
      }
      options.overdueDays = static_cast<int>(*days);
      overdueGiven = true;
    }
  }

  // An option that the command would ignore is more likely a mistake than a wish.
  const std::string command = commandName(options.command);
  if (!filters.empty() && options.command != Command::list) {
    toolkit::usageError(kProgram, filters.front() + " is for list, not " + command);
  }
  if (limitGiven && options.command != Command::list && options.command != Command::rejected) {
    toolkit::usageError(kProgram, "--limit is for list and rejected, not " + command);
  }
  if (overdueGiven && options.command != Command::health) {
    toolkit::usageError(kProgram, "--test-overdue is for health, not " + command);
  }
  return options;
}

std::string defaultStore() {
  return access(kLocalStore, F_OK) == 0 ? kLocalStore : kServiceStore;
}

}  // namespace zudalerts
