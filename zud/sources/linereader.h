// linereader.h -- a descriptor read line by line in the event loop: a line
// source's output, the standard error of the programs zud runs; or, for a
// source of sound, read as the bytes come.
//
// Reads never block (the descriptor is non-blocking) and take what one
// read(2) gives at a time, so that a chatty program cannot hold the loop.
// Lines are cut at each line feed, their trailing CR/LF removed; a line of
// `limit` bytes without a line feed is either discarded, as the serial link
// does with its 512-byte buffer, or handed on in pieces (for messages that
// are passed through).
#ifndef ZUD_LINEREADER_H
#define ZUD_LINEREADER_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Line assembly without the event loop: bytes in, whole lines out.
class lineassembler {
 public:
  enum class overlong { discard, pass };
  using linehandler = void (*)(std::string_view line, void *owner);

  lineassembler(std::size_t limit, overlong mode) : limit_(limit), mode_(mode) {}

  // Hands every line completed by `bytes` to `handler`; false when a line
  // reached the limit without a line feed and was discarded.
  bool feed(std::string_view bytes, linehandler handler, void *owner);
  // The end of the input: what is left is one last line.
  void finish(linehandler handler, void *owner);
  std::size_t limit() const { return limit_; }
  // Bytes of a line not yet ended.
  std::size_t pending() const { return partial_.size(); }

 private:
  void deliver(std::string_view line, linehandler handler, void *owner);

  std::size_t limit_;
  overlong mode_;
  std::string partial_;
};

class linereader {
 public:
  // Each line, without its line end.  It must not destroy the reader.
  using linehandler = lineassembler::linehandler;
  // The end of the input, or a read error (`error` is errno, 0 at the end):
  // the reader has left the loop, and the handler may destroy it.
  using endhandler = void (*)(int error, void *owner);

  // Takes `fd` (non-blocking) into the loop; `name` begins its own reports.
  linereader(int fd, std::string name, std::size_t limit, lineassembler::overlong mode,
             linehandler line, endhandler end, void *owner);
  // The same, without lines: each read's bytes go to `bytes` as they come.
  linereader(int fd, std::string name, linehandler bytes, endhandler end, void *owner);
  // Leaves the loop and closes the descriptor.
  ~linereader();
  linereader(const linereader &) = delete;
  linereader &operator=(const linereader &) = delete;

  // Reads everything waiting now (a program that ended leaves its last
  // lines behind); at the end or on an error the last partial line is
  // handed on, without calling the end handler.
  void drain();

 private:
  static void ready(int fd, int events, int);
  // One read; false when the input ended (or failed) with `error`.
  bool readonce(int &error);
  void withdraw();

  int fd_;
  bool inloop_ = false;
  std::string name_;
  std::optional<lineassembler> lines_;  // none: the bytes go on as they come
  linehandler line_;
  endhandler end_;
  void *owner_;
};

#endif  // ZUD_LINEREADER_H
