// linesource.h -- SAME headers from anything that prints them: a decoder
// fed by a software-defined radio (`rtl_fm ... | multimon-ng -a EAS`),
// samedec, a FIFO or a file.
//
// A source of sound (`--audio-command`, `--audio-file`) lives the same
// life, but what it gives is raw sound, which zud's own demodulator hears
// (audiostream.h): its headers go to the owner as a text source's do, and
// the spoken message after a header the owner took is kept as a file.
//
// A source is a command zud runs (`--source-command`), started again 5 s
// after it exits (a command that keeps failing within a minute of its start
// waits twice as long each time, up to 5 minutes, and each of its failure
// lines is said at most once an hour), or a path it reads (`--source-file`: a FIFO, reopened when
// its writer closes; a file; "-" for standard input).  Its standard output
// is read in the event loop line by line, with the serial link's 512-byte
// limit; its standard error is passed on to zud's, each line after the
// source's name ("source 1: ").  Each line that is a header or an end of
// message goes to the source's owner (the gateway), which filters it and
// decodes it as it does a receiver's line.
#ifndef ZUD_LINESOURCE_H
#define ZUD_LINESOURCE_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "sources/audiostream.h"
#include "sources/linereader.h"

// A line source: a command zud runs, or a path it reads.
struct sourceoption {
  enum class kind { command, file };
  kind what = kind::command;
  std::string text;    // the command line, or the path ("-": standard input)
  bool sound = false;  // raw sound for zud's demodulator, not lines of text
};

// What a line of a source is.
enum class linekind { header, endofmessage, other };

struct sourceline {
  linekind kind = linekind::other;
  std::string_view header;  // a header's text from "ZCZC-" on
};

// Reads one line as decoders print them: "EAS: ZCZC-..." (multimon-ng),
// "ZCZC-..." with or without the 0xAB preamble (samedec and others), "NNNN"
// or "EAS: NNNN"; anything else ("EAS (part): ...", banners) is other.
// Blanks around the line do not count.
sourceline readsourceline(std::string_view line);

// The line the decoder takes for a header: the 16-byte 0xAB preamble and
// the header.
std::string withpreamble(std::string_view header);

class linesource {
 public:
  // A header or an end of message from `source`; true when a header went on
  // as an alert (a source of sound then keeps the message after it).
  using linehandler = bool (*)(const sourceline &line, const linesource &source, void *owner);
  // A source of sound kept the message after `header` at `path`.
  using messagehandler = void (*)(const std::string &header, const std::string &path,
                                  double seconds, const linesource &source, void *owner);
  // A source of sound's level became a problem (`why`), or stopped being one.
  using levelhandler = void (*)(bool problem, const std::string &why, const linesource &source,
                                void *owner);
  struct handlers {
    linehandler line = nullptr;
    messagehandler message = nullptr;  // sound only
    levelhandler level = nullptr;      // sound only
  };

  // Source `number` (from 1, in command-line order); `sound` says how a
  // source of sound is heard and kept.
  linesource(int number, sourceoption option, handlers handlers, void *owner,
             audiosettings sound = {});
  // Stops it, its command included.
  ~linesource();
  linesource(const linesource &) = delete;
  linesource &operator=(const linesource &) = delete;

  void start();
  // No more restarts or reopenings; a running command is asked to end.
  void stop();

  // How reports and stored alerts name it: "source 1 (multimon-ng -a EAS
  // -t raw -)", or the path.
  const std::string &origin() const { return origin_; }
  // How its reports begin: "source 1".
  const std::string &name() const { return name_; }

 private:
  void startcommand();
  // The command ended or could not start: the next start after the back-off.
  void restartlater(const std::string &why);
  // Whether a failure line may be said now: always while the command runs
  // well, at most once an hour while it keeps failing.
  bool maysay(const std::string &line);
  void openfile();
  void later(int ms);
  static void retry(void *self);
  // Starts reading `fd`, the source's output: lines, or sound.
  void readoutput(int fd);
  static void outputline(std::string_view line, void *self);
  static void outputsound(std::string_view bytes, void *self);
  static bool soundheader(std::string_view header, void *self);
  static void soundmessage(const std::string &header, const std::string &path, double seconds,
                           void *self);
  static void soundlevel(bool problem, const std::string &why, void *self);
  static void errorline(std::string_view line, void *self);
  static void outputended(int error, void *self);
  static void errorended(int error, void *self);
  static void commandended(pid_t pid, int status, void *self);

  std::string name_;  // "source 1"
  sourceoption option_;
  std::string origin_;
  handlers handlers_;
  void *owner_;
  audiosettings sound_;
  std::unique_ptr<audiostream> audio_;  // the sound being heard, for a source of sound
  bool stopped_ = false;
  pid_t pid_ = -1;
  bool started_ = false;  // its command ran at least once
  long long startedat_ = 0;  // monotonic ms of the command's last start
  int backoffms_;            // before the next start
  std::map<std::string, long long> said_;  // failure lines, when last said
  bool fifo_ = false;
  int openerror_ = 0;  // the last failure to open the path that was reported
  std::unique_ptr<linereader> out_;
  std::unique_ptr<linereader> err_;
};

#endif  // ZUD_LINESOURCE_H
