// storeoutput.cpp -- the alert store as an output.
#include "outputs/storeoutput.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "same/timetext.h"
#include "xPL.h"

namespace {

// The path as the reports name it: whole, so that a line in the journal says
// which file even though zud's working directory is not shown there.
std::string wholepath(std::string path) {
  if (path.empty() || path[0] == '/') return path;
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr) return path;
  return std::string(here) + "/" + path;
}

// An alert as a line names it: its event and issue time.
std::string named(const alert &values) {
  return values.event + ", issued " + localtext(values.issued);
}

const char *plural(std::size_t n) { return n == 1 ? "" : "s"; }

}  // namespace

const char *storeoutput::described(pending::kind what) {
  switch (what) {
    case pending::kind::alert:
      return "the alert";
    case pending::kind::settled:
      return "the note of a delivery";
    case pending::kind::announced:
      return "the note of an expiry announced";
  }
  return "a write";
}

// A checkpoint flushes to disk, which may take milliseconds: it waits for a
// pause in the writes, so that it never follows an alert (or a burst of
// them) straight away.
constexpr int checkpointAfterMs = 2000;

storeoutput::storeoutput(std::string path) : path_(wholepath(std::move(path))) {}

storeoutput::~storeoutput() {
  xPL_removeTimer(quiet, this);
  xPL_removeTimer(retry, this);
}

void storeoutput::written() {
  xPL_removeTimer(quiet, this);
  xPL_addTimer(quiet, checkpointAfterMs, this);
}

void storeoutput::quiet(void *self) {
  storeoutput &out = *static_cast<storeoutput *>(self);
  // A failure here costs nothing yet: the next write reports the store's state.
  out.store_.checkpoint();
}

void storeoutput::retry(void *self) {
  storeoutput &out = *static_cast<storeoutput *>(self);
  // Quietly: each write waiting had its line when it failed.
  if (!out.ready()) xPL_addTimer(retry, retryms, self);
}

bool storeoutput::open() {
  if (store_.open(path_)) return true;
  std::fprintf(stderr,
               "zud: cannot open the alert store %s (%s) -- alerts are broadcast, and wait in "
               "memory until it can be opened\n",
               path_.c_str(), store_.error().c_str());
  store_.close();
  return false;
}

alertstore *storeoutput::store() { return store_.writable() ? &store_ : nullptr; }

bool storeoutput::ready() {
  if (store_.writable()) {
    const std::string why = store_.leftpath();
    if (!why.empty()) moveon(why);
  }
  if (!store_.writable() && !store_.open(path_)) {
    store_.close();
    return false;
  }
  if (carried_) {
    for (const storedalert &stored : *carried_) {
      // Each is kept once however often this is tried: adopt leaves a key it knows.
      if (!store_.adopt(stored)) return false;
    }
    carried_.reset();
    written();
  }
  return catchup();
}

void storeoutput::moveon(const std::string &why) {
  // Read from the old file while it is still open: SQLite keeps it readable.
  std::optional<std::vector<storedalert>> unfinished = store_.unfinished(std::time(nullptr));
  const std::size_t n = unfinished ? unfinished->size() : 0;
  std::fprintf(stderr,
               "zud: the alert store %s is no longer the file zud opened (%s) -- the store at "
               "that path is used from now on, with %zu alert%s in force or owed carried over\n",
               path_.c_str(), why.c_str(), n, plural(n));
  if (n > 0) carried_ = std::move(unfinished);
  store_.close();
}

bool storeoutput::catchup() {
  if (waiting_.empty()) return true;
  std::size_t alerts = 0;
  while (!waiting_.empty()) {
    if (!write(waiting_.front())) return false;
    alerts += waiting_.front().what == pending::kind::alert;
    waiting_.pop_front();
  }
  xPL_removeTimer(retry, this);
  std::fprintf(stderr,
               "zud: the alert store %s can be written again: %zu alert%s that waited in memory "
               "%s kept now\n",
               path_.c_str(), alerts, plural(alerts), alerts == 1 ? "is" : "are");
  written();
  return true;
}

bool storeoutput::write(const pending &entry) {
  switch (entry.what) {
    case pending::kind::alert:
      return store_.addalert(entry.heard, entry.channel);
    case pending::kind::settled:
      return store_.settle(entry.heard.values, entry.channel);
    case pending::kind::announced:
      return store_.expiryannounced(entry.heard.values);
  }
  return false;
}

bool storeoutput::keep(pending entry) {
  if (ready() && write(entry)) {
    written();
    return true;
  }
  wait(std::move(entry));
  return false;
}

void storeoutput::wait(pending entry) {
  const std::string why = store_.error();
  if (waiting_.size() >= waitingmost) {
    const pending &oldest = waiting_.front();
    std::fprintf(stderr,
                 "zud: %zu writes wait in memory for the alert store %s -- the oldest is dropped "
                 "and will not be kept: %s (%s)\n",
                 waiting_.size(), path_.c_str(), described(oldest.what),
                 named(oldest.heard.values).c_str());
    waiting_.pop_front();
  }
  std::fprintf(stderr,
               "zud: cannot keep %s in %s (%s): %s -- it waits in memory until the store can be "
               "written (%zu waiting)\n",
               described(entry.what), path_.c_str(), why.c_str(),
               named(entry.heard.values).c_str(), waiting_.size() + 1);
  waiting_.push_back(std::move(entry));
  if (!xPL_isTimerPending(retry, this)) xPL_addTimer(retry, retryms, this);
}

void storeoutput::failed(const char *what) {
  std::fprintf(stderr, "zud: cannot keep %s in %s (%s) -- trying again at the next one\n", what,
               path_.c_str(), store_.error().c_str());
}

// Where an alert went, in the journal's words.
const char *keptwords(bool kept) { return kept ? "kept in the store" : "waiting for the store"; }

std::string storeoutput::alertheard(const heardalert &heard, bool) {
  std::string kept;
  kept.swap(keptbyowe_);
  if (!kept.empty() && kept == alertkey(heard.values)) return keptwords(owekept_);
  return keptwords(keep({pending::kind::alert, heard, std::string()}));
}

void storeoutput::rejected(std::time_t when, std::string_view line, std::string_view reason) {
  if (!ready() || !store_.addrejection(when, line, reason)) return failed("a rejected line");
  written();
}

void storeoutput::receiveranswer(std::time_t when, std::string_view path, bool answered,
                                 std::string_view why) {
  if (!ready() || !store_.addanswer(when, path, answered, why)) return failed("the receiver's answer");
  written();
}

void storeoutput::messagekept(const heardalert &heard, const std::string &path, double seconds) {
  if (!ready() || !store_.setmessage(heard.values, path, seconds)) {
    return failed("where the spoken message is");
  }
  written();
}

void storeoutput::expired(const heardalert &heard, bool) {
  keep({pending::kind::announced, heard, std::string()});
}

void storeoutput::owe(const heardalert &heard, std::string_view channel) {
  // Noted even when the write fails: the alert then waits with its channel,
  // and its alertheard must not add it a second time.
  keptbyowe_ = alertkey(heard.values);
  owekept_ = keep({pending::kind::alert, heard, std::string(channel)});
}

void storeoutput::settle(const alert &values, std::string_view channel) {
  // An alert still waiting in memory owes nothing once acknowledged.
  const std::string key = alertkey(values);
  for (pending &entry : waiting_) {
    if (entry.what == pending::kind::alert && entry.channel == channel &&
        alertkey(entry.heard.values) == key) {
      entry.channel.clear();
      return;
    }
  }
  heardalert heard;
  heard.values = values;
  keep({pending::kind::settled, std::move(heard), std::string(channel)});
}

void storeoutput::stopping() {
  if ((waiting_.empty() && !carried_) || ready()) return;
  std::size_t alerts = carried_ ? carried_->size() : 0;
  for (const pending &entry : waiting_) alerts += entry.what == pending::kind::alert;
  const std::size_t notes = waiting_.size() + (carried_ ? carried_->size() : 0) - alerts;
  std::fprintf(stderr,
               "zud: stopping with %zu alert%s and %zu note%s that the alert store %s could not "
               "take (%s) -- they are lost\n",
               alerts, plural(alerts), notes, plural(notes), path_.c_str(), store_.error().c_str());
  waiting_.clear();
  carried_.reset();
}
