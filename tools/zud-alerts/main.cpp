// zud-alerts -- reads the alert store that zud keeps: the alerts heard, those
// still in force, the lines that could not be read, and whether the receiver
// is still alive, as tables for people or JSON for scripts.
//
// The store is opened read-only, so zud-alerts may run while zud writes (the
// store's WAL journal lets them pass each other), and as any user who may
// read the file.  A store that cannot be read is one line naming it and the
// reason, with exit status 2, so that status 1 keeps one meaning: health found
// the receiver in trouble.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "outputs/alertjson.h"
#include "store/alertstore.h"
#include "options.h"
#include "report.h"
#include "toolkit.h"

namespace {

using namespace zudalerts;

// A reader needs the store's -wal and -shm files, and makes them when it may
// write the directory; zud keeps them for the readers that may not.  Says so
// when that is why SQLite refused, whose own words would not tell.
std::string walHint(const std::string &path, const std::string &why) {
  if (why != "attempt to write a readonly database" && why != "unable to open database file") {
    return std::string();
  }
  const bool kept = access((path + "-wal").c_str(), F_OK) == 0 &&
                    access((path + "-shm").c_str(), F_OK) == 0;
  if (kept) return std::string();
  const std::size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (access(directory.c_str(), W_OK) == 0) return std::string();
  return " (its -wal and -shm files are missing and cannot be made in " + directory +
         "; zud makes them when it opens the store)";
}

// What to do about a store that cannot be opened, when the cause says it:
// the packaged store is zud's own, and there is no store where we looked.
std::string accessHint(const std::string &path, const std::string &why, bool named) {
  if (why == std::strerror(EACCES)) {
    return " (the store belongs to the user zud: run sudo runuser -u zud -- zud-alerts ..., "
           "or zud-alerts with sudo)";
  }
  if (!named && why == std::strerror(ENOENT) && path == kServiceStore) {
    return std::string(" (nor is there ") + kLocalStore +
           " here; name the store with --store PATH)";
  }
  return std::string();
}

// One line on standard error naming the store and what is wrong; status 2.
// `named`: the store was given with --store.
int storeFailure(const std::string &path, const std::string &why, bool named) {
  // A query can fail without SQLite objecting: a store missing a row that zud
  // always writes.
  const std::string reason = why.empty() ? "its contents are not as zud writes them" : why;
  toolkit::complain(kProgram, "cannot read the alert store " + path + ": " + reason +
                                  walHint(path, why) + accessHint(path, why, named));
  return toolkit::exitUsage;
}

// Why `path` cannot be read as a file, in the system's words; empty when it can.
std::string unreadable(const std::string &path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::strerror(errno);
  if (S_ISDIR(status.st_mode)) return std::strerror(EISDIR);
  if (access(path.c_str(), R_OK) != 0) return std::strerror(errno);
  return std::string();
}

// The columns of the terminal on standard output, or 80 for a pipe or file.
int outputWidth() {
  winsize size{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return 80;
}

void print(const std::string &text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void printJson(const jsonvalue &value) { print(jsontext(value) + "\n"); }

// A JSON array of `items`, each as `toJson` writes it.
template <typename Item>
jsonvalue jsonList(const std::vector<Item> &items, jsonvalue (*toJson)(const Item &)) {
  jsonvalue list = jsonvalue::array();
  for (const Item &item : items) list.push_back(toJson(item));
  return list;
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = parseOptions(argc, argv);
  const bool named = !options.store.empty();
  const std::string path = named ? options.store : defaultStore();

  const std::string why = unreadable(path);
  if (!why.empty()) return storeFailure(path, why, named);
  alertstore store;
  if (!store.openreadonly(path)) return storeFailure(path, store.error(), named);

  const std::time_t now = std::time(nullptr);
  switch (options.command) {
    case Command::list:
    case Command::active: {
      std::optional<std::vector<storedalert>> alerts;
      if (options.command == Command::active) {
        alerts = store.inforce(now);
      } else {
        alertquery query;
        query.since = options.since;
        query.eventcode = options.event;
        query.limit = options.limit;
        alerts = store.alerts(query);
      }
      if (!alerts) return storeFailure(path, store.error(), named);
      if (options.json) {
        printJson(jsonList(*alerts, storedAlertJson));
      } else {
        const bool filtered = options.since || !options.event.empty();
        const char *empty = options.command == Command::active ? "No alert is in force."
                            : filtered                         ? "No alert matches."
                                                               : "No alert kept yet.";
        print(alertTable(*alerts, outputWidth(), empty));
      }
      return toolkit::exitOk;
    }
    case Command::rejected: {
      const auto rejections = store.rejections(options.limit);
      if (!rejections) return storeFailure(path, store.error(), named);
      if (options.json) {
        printJson(jsonList(*rejections, rejectionJson));
      } else {
        print(rejectionTable(*rejections, "No line rejected."));
      }
      return toolkit::exitOk;
    }
    case Command::health: {
      const auto kept = store.health();
      if (!kept) return storeFailure(path, store.error(), named);
      const HealthReport report = judgeHealth(*kept, path, now, options.overdueDays);
      if (options.json) {
        printJson(healthJson(report));
      } else {
        print(healthText(report));
      }
      return report.problems.empty() ? toolkit::exitOk : toolkit::exitFailure;
    }
  }
  return toolkit::exitOk;
}
