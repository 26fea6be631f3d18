// soundfile.cpp -- libsndfile behind RAII.
#include "store/soundfile.h"

#include <sndfile.h>
#include <unistd.h>

#include "loadedlibrary.h"

namespace {

// The functions of libsndfile that zud calls, by their names less the prefix.
struct sndfilelib {
  decltype(&::sf_open) open;
  decltype(&::sf_open_fd) open_fd;
  decltype(&::sf_close) close;
  decltype(&::sf_error) error;
  decltype(&::sf_strerror) strerror;
  decltype(&::sf_readf_short) readf_short;
  decltype(&::sf_write_short) write_short;
};

sndfilelib sf{};
bool loaded = false;

}  // namespace

bool loadsoundfiles(std::string &error) {
  if (loaded) return true;
  loadedlibrary library;
  // Debian's libsndfile1.
  if (!library.open("libsndfile.so.1", error)) return false;
  const bool all = library.find("sf_open", sf.open, error) &&
                   library.find("sf_open_fd", sf.open_fd, error) &&
                   library.find("sf_close", sf.close, error) &&
                   library.find("sf_error", sf.error, error) &&
                   library.find("sf_strerror", sf.strerror, error) &&
                   library.find("sf_readf_short", sf.readf_short, error) &&
                   library.find("sf_write_short", sf.write_short, error);
  if (!all) {
    library.close();
    return false;
  }
  loaded = true;  // the library stays loaded for the life of the process
  return true;
}

// Why a sound file cannot be opened before the library is.
constexpr const char *notloaded = "libsndfile is not loaded";

soundfilein::soundfilein(const std::string &path) {
  if (!loaded) {
    error_ = notloaded;
    return;
  }
  SF_INFO info{};
  file_ = path == "-" ? sf.open_fd(STDIN_FILENO, SFM_READ, &info, 0)
                      : sf.open(path.c_str(), SFM_READ, &info);
  if (file_ == nullptr) {
    error_ = sf.strerror(nullptr);
    return;
  }
  rate_ = info.samplerate;
  channels_ = info.channels;
}

soundfilein::~soundfilein() {
  if (file_ != nullptr) sf.close(file_);
}

bool soundfilein::read(std::vector<std::int16_t> &samples, std::size_t frames) {
  samples.clear();
  if (file_ == nullptr || channels_ < 1) return false;
  frames_.resize(frames * static_cast<std::size_t>(channels_));
  const sf_count_t got = sf.readf_short(file_, frames_.data(), static_cast<sf_count_t>(frames));
  if (got <= 0) {
    if (sf.error(file_) != SF_ERR_NO_ERROR) error_ = sf.strerror(file_);
    return false;
  }
  samples.reserve(static_cast<std::size_t>(got));
  for (sf_count_t f = 0; f < got; ++f) {
    samples.push_back(frames_[static_cast<std::size_t>(f * channels_)]);
  }
  return true;
}

soundfileout::soundfileout(const std::string &path, int rate) {
  if (!loaded) {
    error_ = notloaded;
    return;
  }
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  file_ = sf.open(path.c_str(), SFM_WRITE, &info);
  if (file_ == nullptr) error_ = sf.strerror(nullptr);
}

soundfileout::~soundfileout() { close(); }

bool soundfileout::write(const std::int16_t *samples, std::size_t count) {
  if (!ok()) return false;
  const sf_count_t written = sf.write_short(file_, samples, static_cast<sf_count_t>(count));
  if (written != static_cast<sf_count_t>(count)) {
    error_ = sf.strerror(file_);
    return false;
  }
  frames_ += count;
  return true;
}

bool soundfileout::close() {
  if (file_ == nullptr) return error_.empty();
  if (sf.close(file_) != 0 && error_.empty()) error_ = "the file could not be finished";
  file_ = nullptr;
  return error_.empty();
}
