// Sound for zud-decode.
#include "input.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "same/demodulator.h"

namespace zuddecode {

namespace {

constexpr std::size_t blockframes = 4096;

// A file libsndfile reads.  Above the demodulator's highest rate, every
// `factor` samples are averaged into one: a crude low-pass, but the tones
// lie far below the new Nyquist frequency.
class soundfile : public soundinput {
 public:
  soundfile(SNDFILE *file, const SF_INFO &info, int factor)
      : file_(file), channels_(info.channels), factor_(factor), rate_(info.samplerate / factor) {}
  ~soundfile() override { sf_close(file_); }
  soundfile(const soundfile &) = delete;
  soundfile &operator=(const soundfile &) = delete;

  int rate() const override { return rate_; }

  bool read(std::vector<std::int16_t> &samples) override {
    frames_.resize(blockframes * static_cast<std::size_t>(channels_));
    const sf_count_t got = sf_readf_short(file_, frames_.data(), blockframes);
    samples.clear();
    if (got <= 0) {
      if (sf_error(file_) != SF_ERR_NO_ERROR) error_ = sf_strerror(file_);
      return false;
    }
    for (sf_count_t f = 0; f < got; ++f) {
      sum_ += frames_[static_cast<std::size_t>(f * channels_)];
      if (++summed_ == factor_) {
        samples.push_back(static_cast<std::int16_t>(sum_ / factor_));
        sum_ = 0;
        summed_ = 0;
      }
    }
    return true;
  }

 private:
  SNDFILE *file_;
  int channels_;
  int factor_;
  int rate_;
  std::vector<short> frames_;
  long sum_ = 0;
  int summed_ = 0;
};

class rawfile : public soundinput {
 public:
  rawfile(int fd, bool owned, int rate) : fd_(fd), owned_(owned), rate_(rate) {}
  ~rawfile() override {
    if (owned_) close(fd_);
  }
  rawfile(const rawfile &) = delete;
  rawfile &operator=(const rawfile &) = delete;

  int rate() const override { return rate_; }

  bool read(std::vector<std::int16_t> &samples) override {
    unsigned char bytes[2 * blockframes];
    ssize_t got;
    do {
      got = ::read(fd_, bytes, sizeof bytes);
    } while (got < 0 && errno == EINTR);
    samples.clear();
    if (got <= 0) {
      if (got < 0) error_ = std::strerror(errno);
      return false;
    }
    for (ssize_t i = 0; i < got; ++i) {
      // A sample split between two reads waits for its second byte.
      if (!half_) {
        low_ = bytes[i];
        half_ = true;
        continue;
      }
      half_ = false;
      samples.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(low_ | (bytes[i] << 8))));
    }
    return true;
  }

 private:
  int fd_;
  bool owned_;
  int rate_;
  unsigned char low_ = 0;
  bool half_ = false;
};

}  // namespace

std::unique_ptr<soundinput> opensoundfile(const std::string &path, std::string &why) {
  SF_INFO info{};
  SNDFILE *file = path == "-" ? sf_open_fd(STDIN_FILENO, SFM_READ, &info, 0)
                              : sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    why = sf_strerror(nullptr);
    return nullptr;
  }
  if (info.samplerate < demodulator::lowestrate || info.channels < 1) {
    sf_close(file);
    why = "its sample rate, " + std::to_string(info.samplerate) + " Hz, is below " +
          std::to_string(demodulator::lowestrate) + " Hz";
    return nullptr;
  }
  const int factor = (info.samplerate + demodulator::highestrate - 1) / demodulator::highestrate;
  return std::make_unique<soundfile>(file, info, factor);
}

std::unique_ptr<soundinput> openraw(const std::string &path, int rate, std::string &why) {
  if (path == "-") return std::make_unique<rawfile>(STDIN_FILENO, false, rate);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<rawfile>(fd, true, rate);
}

}  // namespace zuddecode
