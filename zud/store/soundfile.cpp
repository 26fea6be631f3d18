// soundfile.cpp -- libsndfile behind RAII.
#include "store/soundfile.h"

#include <sndfile.h>
#include <unistd.h>

soundfilein::soundfilein(const std::string &path) {
  SF_INFO info{};
  file_ = path == "-" ? sf_open_fd(STDIN_FILENO, SFM_READ, &info, 0)
                      : sf_open(path.c_str(), SFM_READ, &info);
  if (file_ == nullptr) {
    error_ = sf_strerror(nullptr);
    return;
  }
  rate_ = info.samplerate;
  channels_ = info.channels;
}

soundfilein::~soundfilein() {
  if (file_ != nullptr) sf_close(file_);
}

bool soundfilein::read(std::vector<std::int16_t> &samples, std::size_t frames) {
  samples.clear();
  if (file_ == nullptr || channels_ < 1) return false;
  frames_.resize(frames * static_cast<std::size_t>(channels_));
  const sf_count_t got = sf_readf_short(file_, frames_.data(), static_cast<sf_count_t>(frames));
  if (got <= 0) {
    if (sf_error(file_) != SF_ERR_NO_ERROR) error_ = sf_strerror(file_);
    return false;
  }
  samples.reserve(static_cast<std::size_t>(got));
  for (sf_count_t f = 0; f < got; ++f) {
    samples.push_back(frames_[static_cast<std::size_t>(f * channels_)]);
  }
  return true;
}

soundfileout::soundfileout(const std::string &path, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  file_ = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file_ == nullptr) error_ = sf_strerror(nullptr);
}

soundfileout::~soundfileout() { close(); }

bool soundfileout::write(const std::int16_t *samples, std::size_t count) {
  if (!ok()) return false;
  const sf_count_t written = sf_write_short(file_, samples, static_cast<sf_count_t>(count));
  if (written != static_cast<sf_count_t>(count)) {
    error_ = sf_strerror(file_);
    return false;
  }
  frames_ += count;
  return true;
}

bool soundfileout::close() {
  if (file_ == nullptr) return error_.empty();
  if (sf_close(file_) != 0 && error_.empty()) error_ = "the file could not be finished";
  file_ = nullptr;
  return error_.empty();
}
