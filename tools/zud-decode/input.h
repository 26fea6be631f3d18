// Sound for zud-decode: an audio file through libsndfile, or raw samples.
#ifndef ZUD_TOOLS_ZUDDECODE_INPUT_H
#define ZUD_TOOLS_ZUDDECODE_INPUT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zuddecode {

class soundinput {
 public:
  virtual ~soundinput() = default;
  // The samples a second the input gives, after any decimation.
  virtual int rate() const = 0;
  // Replaces `samples` with the next block; false at the end.  A read that
  // fails sets error() and returns false.
  virtual bool read(std::vector<std::int16_t> &samples) = 0;
  // Why the input could not be read; empty while it can.
  const std::string &error() const { return error_; }

 protected:
  std::string error_;
};

// An audio file (WAV, FLAC, Ogg...) at `path`, "-" for standard input;
// its first channel, brought down to at most the demodulator's highest rate.
// Null and `why` set when it cannot be opened as sound the demodulator takes.
std::unique_ptr<soundinput> opensoundfile(const std::string &path, std::string &why);

// Raw signed 16-bit little-endian mono samples at `rate` from `path` ("-":
// standard input).  Null and `why` set when it cannot be opened.
std::unique_ptr<soundinput> openraw(const std::string &path, int rate, std::string &why);

}  // namespace zuddecode

#endif  // ZUD_TOOLS_ZUDDECODE_INPUT_H
