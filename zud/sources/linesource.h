// linesource.h -- SAME headers from anything that prints them: a decoder
// fed by a software-defined radio (`rtl_fm ... | multimon-ng -a EAS`),
// samedec, a FIFO or a file.
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

#include "sources/linereader.h"

// A line source: a command zud runs, or a path it reads.
struct sourceoption {
  enum class kind { command, file };
  kind what = kind::command;
  std::string text;  // the command line, or the path ("-": standard input)
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
  // A header or an end of message from `source`.
  using linehandler = void (*)(const sourceline &line, const linesource &source, void *owner);

  // Source `number` (from 1, in command-line order).
  linesource(int number, sourceoption option, linehandler handler, void *owner);
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
  static void outputline(std::string_view line, void *self);
  static void errorline(std::string_view line, void *self);
  static void outputended(int error, void *self);
  static void errorended(int error, void *self);
  static void commandended(pid_t pid, int status, void *self);

  std::string name_;  // "source 1"
  sourceoption option_;
  std::string origin_;
  linehandler handler_;
  void *owner_;
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
