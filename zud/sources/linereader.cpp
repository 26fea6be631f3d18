// linereader.cpp -- a descriptor read line by line in the event loop.
#include "sources/linereader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>

#include "xPL.h"

namespace {

// The readers in the loop, by descriptor: a device handler gets an int as
// its user value, which cannot hold a pointer.
std::map<int, linereader *> readers;

}  // namespace

bool lineassembler::feed(std::string_view bytes, linehandler handler, void *owner) {
  bool whole = true;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::size_t room = limit_ - partial_.size();
    if (end != std::string_view::npos && end < room) {
      partial_.append(bytes.substr(0, end));
      deliver(partial_, handler, owner);
      partial_.clear();
      bytes.remove_prefix(end + 1);
      continue;
    }
    if (end == std::string_view::npos && bytes.size() < room) {
      partial_.append(bytes);
      break;
    }
    // The limit is reached before a line feed.
    partial_.append(bytes.substr(0, room));
    bytes.remove_prefix(room);
    if (mode_ == overlong::pass) {
      deliver(partial_, handler, owner);
    } else {
      whole = false;
    }
    partial_.clear();
  }
  return whole;
}

void lineassembler::finish(linehandler handler, void *owner) {
  if (!partial_.empty()) deliver(partial_, handler, owner);
  partial_.clear();
}

void lineassembler::deliver(std::string_view line, linehandler handler, void *owner) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (!line.empty()) handler(line, owner);
}

linereader::linereader(int fd, std::string name, std::size_t limit, lineassembler::overlong mode,
                       linehandler line, endhandler end, void *owner)
    : linereader(fd, std::move(name), line, end, owner) {
  lines_.emplace(limit, mode);
}

linereader::linereader(int fd, std::string name, linehandler bytes, endhandler end, void *owner)
    : fd_(fd), name_(std::move(name)), line_(bytes), end_(end), owner_(owner) {
  if (xPL_addIODevice(ready, 0, fd_, TRUE, FALSE, TRUE) == TRUE) {
    inloop_ = true;
    readers[fd_] = this;
  }
}

linereader::~linereader() {
  withdraw();
  if (fd_ >= 0) close(fd_);
}

void linereader::withdraw() {
  if (!inloop_) return;
  xPL_removeIODevice(fd_);
  readers.erase(fd_);
  inloop_ = false;
}

bool linereader::readonce(int &error) {
  char buffer[16384];
  const ssize_t n = read(fd_, buffer, sizeof buffer);
  if (n > 0) {
    const std::string_view bytes(buffer, static_cast<std::size_t>(n));
    if (!lines_) {
      line_(bytes, owner_);
    } else if (!lines_->feed(bytes, line_, owner_)) {
      std::fprintf(stderr, "%s: line of %zu bytes without a line feed -- discarded\n",
                   name_.c_str(), lines_->limit());
    }
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
    error = errno;
    return true;
  }
  error = n == 0 ? 0 : errno;
  if (lines_) lines_->finish(line_, owner_);
  return false;
}

void linereader::drain() {
  for (;;) {
    int error = 0;
    if (!readonce(error)) return;
    if (error == EAGAIN) return;
  }
}

void linereader::ready(int fd, int, int) {
  auto found = readers.find(fd);
  if (found == readers.end()) return;
  linereader &reader = *found->second;
  int error = 0;
  if (reader.readonce(error)) return;
  reader.withdraw();
  reader.end_(error, reader.owner_);
}
