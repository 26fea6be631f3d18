// audiostream.cpp -- sound from a source, heard and kept.
#include "sources/audiostream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The demodulator says where a message began up to about 3.5 s after the
// fact; this much sound is kept in memory to write it from there.
constexpr int keptseconds = 6;
// A message is written this far behind the sound heard: the end of message
// is known only once its first burst has been read, and the file must end
// where that burst begins, not after it.
constexpr double writtenbehind = 2;

// A minute of silence or clipping is a receiver's problem.
constexpr int problemseconds = 60;
// No signal at all: every sample of a second within this of zero.  A radio
// that hears its station, or only noise, is far louder.
constexpr int silentlevel = 2;
// Clipping: a sample at either end of the range; a second in which more
// than one in a hundred are is a second that clips.
constexpr int clippedlevel = 32767;
constexpr long clippedshare = 100;

// The event code and station of a header ("TOR", "KBOI/NWS"), for a file's name.
std::string namepart(std::string_view header, std::size_t field) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < field && start != std::string_view::npos; ++i) {
    start = header.find('-', start);
    if (start != std::string_view::npos) ++start;
  }
  if (start == std::string_view::npos) return "x";
  std::string part(header.substr(start, header.find('-', start) - start));
  for (char &c : part) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!plain) c = '_';
  }
  return part.empty() ? "x" : part;
}

// "DIR/20261208T101512Z-TOR-KBOI_NWS", not yet taken (with "-2", "-3" ...
// when it is).
std::string messagename(const std::string &dir, std::string_view header) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  // The station is the last field; the event the third ("ZCZC-ORG-EEE-...").
  const std::size_t plus = header.rfind('+');
  const std::string_view tail = plus == std::string_view::npos ? header : header.substr(plus);
  std::string station = namepart(tail, 2);
  const std::string base = dir + "/" + stamp + "-" + namepart(header, 2) + "-" + station;
  std::string name = base;
  struct stat st {};
  for (int n = 2; stat((name + ".flac").c_str(), &st) == 0 ||
                  stat((name + ".flac.part").c_str(), &st) == 0;
       ++n) {
    name = base + "-" + std::to_string(n);
  }
  return name;
}

}  // namespace

audiostream::audiostream(audiosettings settings, std::string name, headerhandler header,
                         messagehandler message, levelhandler level, void *owner)
    : settings_(std::move(settings)),
      name_(std::move(name)),
      header_(header),
      message_(message),
      level_(level),
      owner_(owner),
      demod_(settings_.rate) {}

audiostream::~audiostream() { endmessage(); }

void audiostream::feed(std::string_view bytes) {
  if (finished_) return;
  samples_.clear();
  raw_.feed(bytes, samples_);
  if (samples_.empty()) return;
  watchlevel(samples_);
  recent_.insert(recent_.end(), samples_.begin(), samples_.end());
  const std::size_t keep = static_cast<std::size_t>(settings_.rate) * keptseconds;
  if (recent_.size() > keep && !file_) {
    recentstart_ += recent_.size() - keep;
    recent_.erase(recent_.begin(), recent_.end() - static_cast<std::ptrdiff_t>(keep));
  }
  events_.clear();
  demod_.push(samples_.data(), samples_.size(), events_);
  for (const demodevent &event : events_) handle(event);
  if (file_) {
    const auto behind = static_cast<std::uint64_t>(writtenbehind * settings_.rate);
    const std::uint64_t heard = demod_.position();
    writemessage(std::min(heard > behind ? heard - behind : 0, stopat_));
    if (written_ >= stopat_) endmessage();
  }
}

void audiostream::finish() {
  if (finished_) return;
  finished_ = true;
  events_.clear();
  demod_.finish(events_);
  for (const demodevent &event : events_) handle(event);
  if (file_) writemessage(std::min(demod_.position(), stopat_));
  endmessage();
}

void audiostream::handle(const demodevent &event) {
  if (const auto *heard = std::get_if<headerheard>(&event)) {
    // A header that goes on as an alert has its message kept; another
    // header first means the message of the one before is over.
    endmessage();
    wanted_.clear();
    if (header_(heard->header, owner_)) wanted_ = heard->header;
  } else if (const auto *starts = std::get_if<messagestarts>(&event)) {
    if (!wanted_.empty() && !settings_.dir.empty()) startmessage(starts->position);
    wanted_.clear();
  } else if (const auto *ends = std::get_if<messageends>(&event)) {
    if (file_) {
      writemessage(std::min(ends->position, stopat_));
      endmessage();
    }
  }
}

void audiostream::startmessage(std::uint64_t from) {
  recording_ = wanted_;
  const std::string name = messagename(settings_.dir, recording_);
  path_ = name + ".flac";
  auto file = std::make_unique<soundfileout>(path_ + ".part", settings_.rate);
  if (!file->ok()) {
    std::fprintf(stderr, "%s: cannot keep the message in %s (%s) -- it is not kept\n",
                 name_.c_str(), path_.c_str(), file->error().c_str());
    return;
  }
  file_ = std::move(file);
  written_ = std::max(from, recentstart_);
  stopat_ = from + static_cast<std::uint64_t>(settings_.messagemax) *
                       static_cast<std::uint64_t>(settings_.rate);
}

void audiostream::writemessage(std::uint64_t until) {
  if (!file_ || until <= written_) return;
  const std::uint64_t end = std::min(until, recentstart_ + recent_.size());
  std::vector<std::int16_t> block(recent_.begin() + static_cast<std::ptrdiff_t>(written_ - recentstart_),
                                  recent_.begin() + static_cast<std::ptrdiff_t>(end - recentstart_));
  if (!file_->write(block.data(), block.size())) {
    std::fprintf(stderr, "%s: cannot write the message to %s (%s) -- it is not kept\n",
                 name_.c_str(), path_.c_str(), file_->error().c_str());
    file_.reset();
    std::remove((path_ + ".part").c_str());
    return;
  }
  written_ = end;
  // What is written need not be kept any longer than the demodulator may
  // look back (the sound not yet written is always kept).
  const std::size_t keep = static_cast<std::size_t>(settings_.rate) * keptseconds;
  if (recent_.size() > keep) {
    const std::uint64_t drop = std::min<std::uint64_t>(recent_.size() - keep, written_ - recentstart_);
    recent_.erase(recent_.begin(), recent_.begin() + static_cast<std::ptrdiff_t>(drop));
    recentstart_ += drop;
  }
}

void audiostream::endmessage() {
  if (!file_) return;
  const double seconds = static_cast<double>(file_->frames()) / settings_.rate;
  const bool whole = file_->close();
  file_.reset();
  const std::string part = path_ + ".part";
  if (!whole || std::rename(part.c_str(), path_.c_str()) != 0) {
    std::fprintf(stderr, "%s: cannot finish the message %s (%s) -- it is not kept\n",
                 name_.c_str(), path_.c_str(), whole ? std::strerror(errno) : "write failed");
    std::remove(part.c_str());
    return;
  }
  message_(recording_, path_, seconds, owner_);
}

void audiostream::watchlevel(const std::vector<std::int16_t> &samples) {
  for (const std::int16_t sample : samples) {
    const int level = std::abs(static_cast<int>(sample));
    loudest_ = std::max(loudest_, level);
    if (level >= clippedlevel) ++clipped_;
    if (++secondsamples_ < settings_.rate) continue;
    // A second is over.
    const bool silent = loudest_ <= silentlevel;
    const bool clipping = clipped_ * clippedshare > secondsamples_;
    quietseconds_ = silent ? quietseconds_ + 1 : 0;
    clippedseconds_ = clipping ? clippedseconds_ + 1 : 0;
    secondsamples_ = 0;
    clipped_ = 0;
    loudest_ = 0;
    std::string now;
    if (quietseconds_ >= problemseconds) {
      now = name_ + " gives no sound at all (a receiver that is off, unplugged or muted)";
    } else if (clippedseconds_ >= problemseconds) {
      now = name_ + "'s sound clips (the receiver's volume is too high)";
    }
    if (now == problem_ || (!now.empty() && !problem_.empty())) continue;
    if (now.empty() && (quietseconds_ > 0 || clippedseconds_ > 0)) continue;
    problem_ = now;
    level_(!now.empty(), now, owner_);
  }
}
