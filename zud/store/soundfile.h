// soundfile.h -- libsndfile behind RAII: the only code that calls it.
//
// The library (and the codecs it brings: FLAC, Vorbis, Opus, MP3) is loaded
// only by the programs and options that need it (loadsoundfiles): a zud
// without a source of sound does not map it, nor pay its start-up.
//
// zud keeps the spoken message of an alert heard in sound as a FLAC file
// (soundfileout), and zud-decode reads recordings people have (WAV, FLAC,
// Ogg ...: soundfilein).  FLAC rather than Ogg Opus: libsndfile's Opus
// encoder takes only 8, 12, 16, 24 and 48 kHz, and the sound comes at
// whatever rate the radio gives (22,050 Hz from rtl_fm, 44,100 Hz from a
// sound card); FLAC keeps it as heard, at any rate, in about half the room
// of the raw samples.
#ifndef ZUD_STORE_SOUNDFILE_H
#define ZUD_STORE_SOUNDFILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;

// Loads libsndfile, once; false, with `error` saying why, when it cannot be
// loaded or lacks a function.  Every class below needs it loaded.
bool loadsoundfiles(std::string &error);

// A sound file opened for reading: its first channel.
class soundfilein {
 public:
  // Opens `path` ("-": standard input); ok() says whether it could be read as sound.
  explicit soundfilein(const std::string &path);
  ~soundfilein();
  soundfilein(const soundfilein &) = delete;
  soundfilein &operator=(const soundfilein &) = delete;

  bool ok() const { return file_ != nullptr; }
  // Why it cannot be opened or read; empty while all is well.
  const std::string &error() const { return error_; }
  int rate() const { return rate_; }

  // Replaces `samples` with up to `frames` samples of the first channel;
  // false at the end or on an error (error() is then set).
  bool read(std::vector<std::int16_t> &samples, std::size_t frames);

 private:
  sf_private_tag *file_ = nullptr;
  std::string error_;
  int rate_ = 0;
  int channels_ = 0;
  std::vector<short> frames_;
};

// A FLAC file of mono 16-bit sound being written.
class soundfileout {
 public:
  // Creates `path` (replacing a file there) for sound at `rate` samples a
  // second; ok() says whether it could.
  soundfileout(const std::string &path, int rate);
  // Closes the file, as close() does.
  ~soundfileout();
  soundfileout(const soundfileout &) = delete;
  soundfileout &operator=(const soundfileout &) = delete;

  bool ok() const { return file_ != nullptr && error_.empty(); }
  const std::string &error() const { return error_; }
  // Samples written so far.
  std::uint64_t frames() const { return frames_; }

  // Appends `count` samples; false (error() set) when they cannot be written.
  bool write(const std::int16_t *samples, std::size_t count);
  // Finishes the file (its last block and header); false when that fails.
  bool close();

 private:
  sf_private_tag *file_ = nullptr;
  std::string error_;
  std::uint64_t frames_ = 0;
};

#endif  // ZUD_STORE_SOUNDFILE_H
