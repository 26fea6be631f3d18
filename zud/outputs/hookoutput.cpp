// hookoutput.cpp -- a command per alert.
#include "outputs/hookoutput.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "outputs/alertjson.h"
#include "sources/children.h"
#include "xPL.h"

namespace {

// A command's output passes through in lines of at most this many bytes.
constexpr std::size_t passedline = 4096;

std::string joined(const std::vector<std::string> &items, const char *separator) {
  std::string text;
  for (const std::string &item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

}  // namespace

std::vector<std::string> hookenvironment(const heardalert &heard, bool late) {
  const alert &a = heard.values;
  return {"ZUD_EVENT_CODE=" + a.eventcode,
          "ZUD_EVENT=" + a.event,
          "ZUD_ORIGINATOR_CODE=" + a.originatorcode,
          "ZUD_ORIGINATOR=" + a.originator,
          std::string("ZUD_SIGNIFICANCE=") + significance(a.eventcode),
          "ZUD_LOCATIONS=" + joined(a.locationcodes, " "),
          "ZUD_LOCATION_NAMES=" + joined(a.locations, "\n"),
          "ZUD_ISSUED=" + std::to_string(static_cast<long long>(a.issued)),
          "ZUD_EXPIRES=" + std::to_string(static_cast<long long>(a.expires)),
          "ZUD_DURATION=" + a.purge,
          "ZUD_STATION=" + a.source,
          "ZUD_HEADER=" + a.header,
          "ZUD_JSON=" + jsontext(alertjson(heard)),
          std::string("ZUD_LATE=") + (late ? "1" : "0")};
}

hookoutput::hookoutput(std::string onalert, std::string onexpire, std::string onaudio,
                       int timeoutseconds)
    : onalert_(std::move(onalert)),
      onexpire_(std::move(onexpire)),
      onaudio_(std::move(onaudio)),
      timeoutms_(timeoutseconds * 1000) {}

hookoutput::~hookoutput() {
  for (running &r : running_) {
    xPL_removeTimer(timeout, &r);
    forgetchild(r.pid);
  }
}

std::string hookoutput::alertheard(const heardalert &heard, bool repeat) {
  if (repeat || onalert_.empty()) return {};
  startfailed_ = false;
  add("on-alert", onalert_, hookenvironment(heard, false));
  if (startfailed_) return "on-alert could not start";
  return waiting_.empty() ? "on-alert started" : "on-alert waiting its turn";
}

void hookoutput::expired(const heardalert &heard, bool late) {
  if (!onexpire_.empty()) add("on-expire", onexpire_, hookenvironment(heard, late));
}

void hookoutput::messagekept(const heardalert &heard, const std::string &path, double seconds) {
  if (onaudio_.empty()) return;
  std::vector<std::string> environment = hookenvironment(heard, false);
  environment.push_back("ZUD_AUDIO=" + path);
  char length[32];
  std::snprintf(length, sizeof length, "%.1f", seconds);
  environment.push_back(std::string("ZUD_AUDIO_SECONDS=") + length);
  add("on-audio", onaudio_, std::move(environment));
}

void hookoutput::stopping() {
  stopped_ = true;
  waiting_.clear();
}

void hookoutput::add(const char *name, const std::string &command,
                     std::vector<std::string> environment) {
  if (stopped_) return;
  waiting_.push_back({name, &command, childenvironment(environment)});
  startwaiting();
}

void hookoutput::startwaiting() {
  while (!stopped_ && !waiting_.empty() && running_.size() < mostatonce) {
    const job next = std::move(waiting_.front());
    waiting_.pop_front();
    running &r = running_.emplace_back();
    r.owner = this;
    r.name = next.name;
    const startedchild child = startchild(*next.command, next.environment, ended, &r);
    if (child.pid < 0) {
      std::fprintf(stderr, "%s: cannot start '%s' (%s)\n", next.name, next.command->c_str(),
                   std::strerror(errno));
      startfailed_ = true;
      running_.pop_back();
      continue;
    }
    r.pid = child.pid;
    r.out = std::make_unique<linereader>(child.out, r.name, passedline,
                                         lineassembler::overlong::pass, outline, outended, &r);
    r.err = std::make_unique<linereader>(child.err, r.name, passedline,
                                         lineassembler::overlong::pass, errline, errended, &r);
    xPL_addTimer(timeout, timeoutms_, &r);
  }
}

void hookoutput::outline(std::string_view line, void *hook) {
  const running &r = *static_cast<running *>(hook);
  std::printf("%s: %.*s\n", r.name.c_str(), static_cast<int>(line.size()), line.data());
}

void hookoutput::errline(std::string_view line, void *hook) {
  const running &r = *static_cast<running *>(hook);
  std::fprintf(stderr, "%s: %.*s\n", r.name.c_str(), static_cast<int>(line.size()), line.data());
}

void hookoutput::outended(int, void *hook) { static_cast<running *>(hook)->out.reset(); }

void hookoutput::errended(int, void *hook) { static_cast<running *>(hook)->err.reset(); }

void hookoutput::timeout(void *hook) {
  running &r = *static_cast<running *>(hook);
  r.timedout = true;
  std::fprintf(stderr, "%s: still running after %d s -- ended\n", r.name.c_str(),
               r.owner->timeoutms_ / 1000);
  endchild(r.pid);
}

void hookoutput::ended(pid_t, int status, void *hook) {
  running &r = *static_cast<running *>(hook);
  hookoutput &self = *r.owner;
  xPL_removeTimer(timeout, &r);
  if (r.out) r.out->drain();
  if (r.err) r.err->drain();
  const bool failed = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  if (failed && !r.timedout) {
    std::fprintf(stderr, "%s: %s\n", r.name.c_str(), endtext(status).c_str());
  }
  for (auto it = self.running_.begin(); it != self.running_.end(); ++it) {
    if (&*it == &r) {
      self.running_.erase(it);
      break;
    }
  }
  self.startwaiting();
}
