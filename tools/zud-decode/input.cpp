// Sound for zud-decode.
#include "input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "same/demodulator.h"
#include "same/rawsamples.h"
#include "store/soundfile.h"

namespace zuddecode {

namespace {

constexpr std::size_t blockframes = 4096;

// A file libsndfile reads.  Above the demodulator's highest rate, every
// `factor` samples are averaged into one: a crude low-pass, but the tones
// lie far below the new Nyquist frequency.
class soundfile : public soundinput {
 public:
  soundfile(std::unique_ptr<soundfilein> file, int factor)
      : file_(std::move(file)), factor_(factor), rate_(file_->rate() / factor) {}

  int rate() const override { return rate_; }

  bool read(std::vector<std::int16_t> &samples) override {
    samples.clear();
    if (!file_->read(frames_, blockframes)) {
      error_ = file_->error();
      return false;
    }
    for (const std::int16_t frame : frames_) {
      sum_ += frame;
      if (++summed_ == factor_) {
        samples.push_back(static_cast<std::int16_t>(sum_ / factor_));
        sum_ = 0;
        summed_ = 0;
      }
    }
    return true;
  }

 private:
  std::unique_ptr<soundfilein> file_;
  int factor_;
  int rate_;
  std::vector<std::int16_t> frames_;
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
    raw_.feed(std::string_view(reinterpret_cast<const char *>(bytes), static_cast<std::size_t>(got)),
              samples);
    return true;
  }

 private:
  int fd_;
  bool owned_;
  int rate_;
  rawsamples raw_;
};

}  // namespace

std::unique_ptr<soundinput> opensoundfile(const std::string &path, std::string &why) {
  if (!loadsoundfiles(why)) return nullptr;
  auto file = std::make_unique<soundfilein>(path);
  if (!file->ok()) {
    why = file->error();
    return nullptr;
  }
  if (file->rate() < demodulator::lowestrate) {
    why = "its sample rate, " + std::to_string(file->rate()) + " Hz, is below " +
          std::to_string(demodulator::lowestrate) + " Hz";
    return nullptr;
  }
  const int factor = (file->rate() + demodulator::highestrate - 1) / demodulator::highestrate;
  return std::make_unique<soundfile>(std::move(file), factor);
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
