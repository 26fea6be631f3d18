// storeoutput.cpp -- the alert store as an output.
#include "outputs/storeoutput.h"

#include <unistd.h>

#include <cstdio>

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

}  // namespace

// A checkpoint flushes to disk, which may take milliseconds: it waits for a
// pause in the writes, so that it never follows an alert (or a burst of
// them) straight away.
constexpr int checkpointAfterMs = 2000;

storeoutput::storeoutput(std::string path) : path_(wholepath(std::move(path))) {}

storeoutput::~storeoutput() { xPL_removeTimer(quiet, this); }

void storeoutput::written() {
  xPL_removeTimer(quiet, this);
  xPL_addTimer(quiet, checkpointAfterMs, this);
}

void storeoutput::quiet(void *self) {
  storeoutput &out = *static_cast<storeoutput *>(self);
  // A failure here costs nothing yet: the next write reports the store's state.
  out.store_.checkpoint();
}

bool storeoutput::open() {
  if (store_.open(path_)) return true;
  std::fprintf(stderr,
               "zud: cannot open the alert store %s (%s) -- alerts are broadcast but not kept "
               "until it can be opened\n",
               path_.c_str(), store_.error().c_str());
  store_.close();
  return false;
}

alertstore *storeoutput::store() { return store_.writable() ? &store_ : nullptr; }

bool storeoutput::ready() { return store_.writable() || store_.open(path_); }

void storeoutput::failed(const char *what) {
  std::fprintf(stderr, "zud: cannot keep %s in %s (%s) -- trying again at the next one\n", what,
               path_.c_str(), store_.error().c_str());
  store_.close();
}

void storeoutput::alertheard(const heardalert &heard, bool) {
  std::string kept;
  kept.swap(keptbyowe_);
  if (!kept.empty() && kept == alertkey(heard.values)) return;
  if (!ready() || !store_.addalert(heard)) return failed("the alert");
  written();
}

void storeoutput::rejected(std::time_t when, std::string_view line, std::string_view reason) {
  if (!ready() || !store_.addrejection(when, line, reason)) return failed("a rejected line");
  written();
}

void storeoutput::receiveranswer(std::time_t when, std::string_view path, bool answered) {
  if (!ready() || !store_.addanswer(when, path, answered)) return failed("the receiver's answer");
  written();
}

void storeoutput::owe(const heardalert &heard, std::string_view channel) {
  // Noted even when the write fails: the alert is not tried twice in a row.
  keptbyowe_ = alertkey(heard.values);
  if (!ready() || !store_.addalert(heard, channel)) return failed("the alert");
  written();
}

void storeoutput::settle(const alert &values, std::string_view channel) {
  if (!ready() || !store_.settle(values, channel)) return failed("an alert's delivery");
  written();
}
