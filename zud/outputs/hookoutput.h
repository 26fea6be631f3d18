// hookoutput.h -- a command per alert: `--on-alert CMD` runs once for each
// new alert (not for a repeat of one in force), `--on-expire CMD` once for
// each alert that expires (also for one that expired while zud was stopped,
// at its start, with ZUD_LATE=1), with the alert in the environment (ZUD_EVENT,
// ZUD_LOCATIONS, ZUD_JSON, ...; see hookenvironment).
//
// A command never holds the loop back: it is started and left to run, its
// output passed on to zud's after its name ("on-alert: "), its end noticed
// through SIGCHLD.  At most four run at once and the rest wait in the order
// they came; one still running after the timeout is ended (TERM, KILL 2 s
// later).  A command that fails or is ended is one line on standard error.
#ifndef ZUD_HOOKOUTPUT_H
#define ZUD_HOOKOUTPUT_H

#include <sys/types.h>

#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "sources/linereader.h"
#include "outputs/output.h"

// The variables that tell a command about an alert ("ZUD_EVENT=Tornado
// Warning", ...): ZUD_EVENT_CODE, ZUD_EVENT, ZUD_ORIGINATOR_CODE,
// ZUD_ORIGINATOR, ZUD_SIGNIFICANCE, ZUD_LOCATIONS (codes, space-separated),
// ZUD_LOCATION_NAMES (one per line), ZUD_ISSUED and ZUD_EXPIRES (Unix
// seconds), ZUD_DURATION (the purge time HHMM as sent), ZUD_STATION,
// ZUD_HEADER, ZUD_JSON (alertjson's object), ZUD_LATE (1 for an expiry that
// came while zud was stopped and is announced only at its start, else 0).
std::vector<std::string> hookenvironment(const heardalert &heard, bool late = false);

class hookoutput : public output {
 public:
  static constexpr std::size_t mostatonce = 4;

  // Empty commands are not run.
  hookoutput(std::string onalert, std::string onexpire, std::string onaudio, int timeoutseconds);
  // Forgets the commands still running; zud's stop ends them.
  ~hookoutput() override;
  hookoutput(const hookoutput &) = delete;
  hookoutput &operator=(const hookoutput &) = delete;

  std::string alertheard(const heardalert &heard, bool repeat) override;
  void expired(const heardalert &heard, bool late) override;
  // --on-audio, with ZUD_AUDIO (the file's path) and ZUD_AUDIO_SECONDS too.
  void messagekept(const heardalert &heard, const std::string &path, double seconds) override;
  // Nothing more is started; zud's stop ends what runs.
  void stopping() override;

 private:
  struct job {
    const char *name;  // "on-alert", "on-expire" or "on-audio"
    const std::string *command;
    std::vector<std::string> environment;
  };
  struct running {
    hookoutput *owner;
    std::string name;
    pid_t pid = -1;
    bool timedout = false;
    std::unique_ptr<linereader> out;
    std::unique_ptr<linereader> err;
  };

  void add(const char *name, const std::string &command, std::vector<std::string> environment);
  void startwaiting();
  static void outline(std::string_view line, void *hook);
  static void errline(std::string_view line, void *hook);
  static void outended(int error, void *hook);
  static void errended(int error, void *hook);
  static void timeout(void *hook);
  static void ended(pid_t pid, int status, void *hook);

  std::string onalert_;
  std::string onexpire_;
  std::string onaudio_;
  int timeoutms_;
  bool stopped_ = false;
  bool startfailed_ = false;  // a command could not be started (since alertheard looked)
  std::deque<job> waiting_;
  std::list<running> running_;  // its nodes stay put: timers and handlers point at them
};

#endif  // ZUD_HOOKOUTPUT_H
