// Output pacing for zud-sim: a line of `baud` carries baud/10 bytes a second.
#ifndef ZUD_SIM_PACER_H
#define ZUD_SIM_PACER_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zudsim {

using Clock = std::chrono::steady_clock;

// Counts the bytes sent since a start and says how many more may go.
class Pacer {
 public:
  explicit Pacer(long baud) : bytesPerSecond_(baud / 10.0) {}

  bool paced() const { return bytesPerSecond_ > 0; }
  void restart(Clock::time_point now) {
    start_ = now;
    sent_ = 0;
  }
  // How many bytes may go out now.
  std::size_t allowance(Clock::time_point now) const {
    if (!paced()) return SIZE_MAX;
    double elapsed = std::chrono::duration<double>(now - start_).count();
    auto due = static_cast<std::size_t>(elapsed * bytesPerSecond_) + 1;
    return due > sent_ ? due - sent_ : 0;
  }
  // When the next byte may go out.
  Clock::time_point nextDue() const {
    auto offset = std::chrono::duration<double>(sent_ / bytesPerSecond_);
    return start_ + std::chrono::duration_cast<Clock::duration>(offset);
  }
  void account(std::size_t count) { sent_ += count; }

 private:
  double bytesPerSecond_;
  Clock::time_point start_{};
  std::size_t sent_ = 0;
};

}  // namespace zudsim

#endif  // ZUD_SIM_PACER_H
