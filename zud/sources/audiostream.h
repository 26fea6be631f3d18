// audiostream.h -- raw sound from a source of sound (rtl_fm, a sound card,
// a FIFO, a file): its samples to zud's own SAME demodulator, each header
// it hears to the owner, the spoken message after a header the owner took
// kept as a file, and the sound's level watched.
//
// The message is the sound from the end of the header's last burst to the
// start of the end of message ("NNNN"), or `messagemax` seconds, whichever
// comes first.  The demodulator says where it began only once the header's
// bursts are over, so the last seconds of sound are kept in memory and the
// file is written from there, a block at a time as the sound comes, to
// "NAME.flac.part", renamed to "NAME.flac" when it is whole.
//
// A radio that gives no sound at all (digital silence) or sound that clips
// for a minute is a receiver with a problem: the owner hears of it once
// when it begins and once when it ends.
#ifndef ZUD_SOURCES_AUDIOSTREAM_H
#define ZUD_SOURCES_AUDIOSTREAM_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "same/demodulator.h"
#include "same/rawsamples.h"
#include "store/soundfile.h"

// How a source's sound is heard and kept.
struct audiosettings {
  int rate = 22050;            // samples a second, 8,000 to 48,000
  int messagemax = 180;        // seconds of a message kept at most
  std::string dir;             // where messages are kept; empty: nowhere
};

class audiostream {
 public:
  // A header heard; true when it went on as an alert, whose message is then kept.
  using headerhandler = bool (*)(std::string_view header, void *owner);
  // The message after `header` is whole at `path`, `seconds` long.
  using messagehandler = void (*)(const std::string &header, const std::string &path,
                                  double seconds, void *owner);
  // The sound's level became a problem (`why` says which), or stopped being one.
  using levelhandler = void (*)(bool problem, const std::string &why, void *owner);

  // `name` ("source 1") begins its reports.
  audiostream(audiosettings settings, std::string name, headerhandler header,
              messagehandler message, levelhandler level, void *owner);
  // A message still being written is finished as it is.
  ~audiostream();
  audiostream(const audiostream &) = delete;
  audiostream &operator=(const audiostream &) = delete;

  // Takes the next bytes of sound (signed 16-bit little-endian, mono).
  void feed(std::string_view bytes);
  // The sound has ended: what the demodulator still holds is settled, and
  // a message being written is finished.  Once only; later bytes are ignored.
  void finish();

 private:
  void handle(const demodevent &event);
  void startmessage(std::uint64_t from);
  // Writes what is kept of the sound up to `until` into the message.
  void writemessage(std::uint64_t until);
  void endmessage();
  void watchlevel(const std::vector<std::int16_t> &samples);

  audiosettings settings_;
  std::string name_;
  headerhandler header_;
  messagehandler message_;
  levelhandler level_;
  void *owner_;

  rawsamples raw_;
  demodulator demod_;
  std::vector<std::int16_t> samples_;  // the block being pushed
  std::vector<demodevent> events_;
  std::deque<std::int16_t> recent_;    // the last seconds of sound
  std::uint64_t recentstart_ = 0;      // position of recent_.front()

  std::string wanted_;                 // the header taken, whose message is to come
  std::string recording_;              // the header of the message being written
  std::unique_ptr<soundfileout> file_;
  std::string path_;                   // the finished file's path
  std::uint64_t written_ = 0;          // the next position to write
  std::uint64_t stopat_ = 0;           // where the message must end at the latest

  // Level: samples into the current second, and what they held.
  long secondsamples_ = 0;
  long clipped_ = 0;
  int loudest_ = 0;
  int quietseconds_ = 0;
  int clippedseconds_ = 0;
  std::string problem_;  // the problem said, while it lasts
  bool finished_ = false;
};

#endif  // ZUD_SOURCES_AUDIOSTREAM_H
