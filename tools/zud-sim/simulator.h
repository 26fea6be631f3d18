// The simulated receiver: it answers the gateway's commands on the
// pseudo-terminal, hands out and takes the configuration block, sends header
// lines, and follows the directives on standard input and the signals.
// Everything it receives and sends is reported on standard output, one line
// per event, so that a test can follow the conversation.
#ifndef ZUD_SIM_SIMULATOR_H
#define ZUD_SIM_SIMULATOR_H

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "block.h"
#include "options.h"
#include "pacer.h"
#include "terminal.h"

namespace zudsim {

// Bytes waiting to go out, and what to report once they have.
struct OutputItem {
  std::string bytes;
  std::string report;  // printed as "sent REPORT" when the last byte is out
  std::size_t done = 0;
};

// The other side of the line: no terminal, terminal closed, terminal open.
enum class LineState { Absent, Closed, Open };

class Simulator {
 public:
  explicit Simulator(Options options)
      : options_(std::move(options)), block_(options_.block), link_(options_.link),
        pacer_(options_.baud), sends_(options_.sends) {}

  // Opens the first terminal and runs until stopped; the exit status.
  int run();

 private:
  // Opens a terminal with the access asked for; an exit status: 0 when it
  // is there, else why the simulator cannot start with it.
  int openTerminal();
  void hangUp(bool keepLink);
  void closeTerminal();

  void buildPoll(std::vector<pollfd> &fds);
  int pollTimeout(Clock::time_point now) const;
  void handleSignals();
  void handleStdin();
  void handleMaster(short revents);
  void checkClosedLine();
  void runTimers(Clock::time_point now);

  void readMaster();
  void lineOpened();
  void lineClosed();
  void handleByte(std::uint8_t byte);
  void handleCommand(char command);
  void uploadByte(std::uint8_t byte);
  void finishUpload();
  void abandonUpload();

  void handleInputLine(std::string line);
  void handleDirective(std::string_view directive);

  void enqueue(std::string bytes, std::string report);
  void sendLine(std::string_view text);
  void dropOutput();
  void flushOutput();

  Options options_;
  Block block_;
  Access access_;
  Link link_;
  Pacer pacer_;
  Fd master_;
  std::string slaveName_;
  LineState line_ = LineState::Absent;
  unsigned terminalGeneration_ = 0;  // counts openings and hang-ups
  bool writeBlocked_ = false;
  std::deque<OutputItem> output_;

  bool uploading_ = false;
  std::string upload_;
  Clock::time_point lastUploadByte_{};

  std::vector<std::string> sends_;  // waiting for the first opening
  std::optional<Clock::time_point> sendsDue_;

  Fd signals_;
  bool stdinOpen_ = true;
  std::string stdinBuffer_;
  bool quit_ = false;
};

}  // namespace zudsim

#endif  // ZUD_SIM_SIMULATOR_H
