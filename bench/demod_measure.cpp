// demod_measure -- how deep in noise zud's SAME demodulator hears headers,
// beside multimon-ng on the same sound, and what either gives out wrong.
//
// For each Eb/N0 from 8 to 14 dB it makes one stretch of sound at 22,050 Hz
// (the rate multimon-ng reads raw): messages of headers with 1 to 3
// locations (about 400 bits) and, apart, with 4 to 31, each with its
// attention tone, a little voice and its "NNNN", and white Gaussian noise
// over all of it (bench/README.md defines Eb/N0).  zud's demodulator and
// multimon-ng hear the same samples.  Then it plays 10 minutes of noise,
// voice-like sound and attention tones with no header in them, and times
// how long after the second burst's end the header comes out.  Every
// random draw has a fixed seed.  Prints name=value lines for bench/table.py.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "same/demodulator.h"
#include "sameaudio.h"

namespace {

using testsupport::sameAudio;
using testsupport::sameSignal;

constexpr int rate = testsupport::sameSampleRate;

struct tally {
  int sent = 0, ok = 0, wrong = 0;
  int mmok = 0;
  double voter = 0;  // the ideal bit-by-bit voter's expected count
};

sameSignal signal() {
  sameSignal s;
  s.amplitude = 4000;  // the noise of 8 dB stays clear of full scale
  return s;
}

// What multimon-ng prints for `samples`: its "EAS: " lines, without that.
std::vector<std::string> multimon(const std::vector<std::int16_t> &samples) {
  char path[] = "/tmp/zud-demod-XXXXXX";
  const int fd = mkstemp(path);
  std::vector<std::string> lines;
  if (fd < 0) return lines;
  const std::string bytes = testsupport::rawBytes(samples);
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  if (written) {
    const std::string command = std::string("multimon-ng -q -t raw -a EAS ") + path + " 2>/dev/null";
    if (FILE *out = popen(command.c_str(), "r")) {
      char line[1024];
      while (std::fgets(line, sizeof line, out) != nullptr) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.rfind("EAS: ", 0) == 0) lines.push_back(text.substr(5));
      }
      pclose(out);
    }
  }
  unlink(path);
  return lines;
}

std::vector<demodevent> demodulate(const std::vector<std::int16_t> &samples) {
  demodulator demod(rate);
  std::vector<demodevent> events;
  demod.push(samples.data(), samples.size(), events);
  demod.finish(events);
  return events;
}

// The ideal voter: each bit decided alone by a non-coherent receiver
// (error 1/2 e^(-Eb/2N0)), then by majority over the three bursts.
double votersuccess(double ebn0dB, std::size_t bits) {
  const double p = 0.5 * std::exp(-std::pow(10.0, ebn0dB / 10) / 2);
  const double p3 = 3 * p * p * (1 - p) + p * p * p;
  return std::pow(1 - p3, static_cast<double>(bits));
}

void measurepoint(int ebn0, int shortcount, int longcount) {
  tally kinds[2];
  sameAudio audio(signal());
  std::vector<std::string> sent;
  std::vector<std::size_t> begins;
  std::vector<int> kindof;
  const int total = shortcount + longcount;
  for (int i = 0; i < total; ++i) {
    const bool islong = i >= shortcount;
    const std::uint32_t seed = static_cast<std::uint32_t>(ebn0 * 100000 + i);
    const int locations = islong ? 4 + static_cast<int>(seed % 28) : 1 + i % 3;
    const std::string header = testsupport::randomHeader(locations, seed);
    begins.push_back(audio.size());
    audio.silence(1);
    audio.message(header, 1, 1, seed);
    sent.push_back(header);
    kindof.push_back(islong ? 1 : 0);
    ++kinds[islong].sent;
    kinds[islong].voter += votersuccess(ebn0, header.size() * 8);
  }
  begins.push_back(audio.size());
  audio.noise(ebn0, static_cast<std::uint32_t>(ebn0));
  const std::vector<std::int16_t> samples = audio.samples();

  std::set<std::size_t> found;
  for (const demodevent &e : demodulate(samples)) {
    const auto *h = std::get_if<headerheard>(&e);
    if (h == nullptr) continue;
    const std::size_t i = static_cast<std::size_t>(
        std::upper_bound(begins.begin(), begins.end(), h->position) - begins.begin() - 1);
    if (i < sent.size() && h->header == sent[i] && found.insert(i).second) {
      ++kinds[kindof[i]].ok;
    } else {
      ++kinds[i < sent.size() ? kindof[i] : 0].wrong;
      std::fprintf(stderr, "zud wrong at %d dB: %s\n", ebn0, h->header.c_str());
    }
  }
  std::set<std::string> mmfound;
  int mmwrong = 0;
  for (const std::string &line : multimon(samples)) {
    if (line.rfind("ZCZC", 0) != 0) continue;
    const auto it = std::find(sent.begin(), sent.end(), line);
    if (it == sent.end()) {
      ++mmwrong;
    } else if (mmfound.insert(line).second) {
      ++kinds[kindof[static_cast<std::size_t>(it - sent.begin())]].mmok;
    }
  }
  const char *names[2] = {"short", "long"};
  for (int k = 0; k < 2; ++k) {
    std::printf("ebn0_%d_%s_sent=%d\nebn0_%d_%s_ok=%d\nebn0_%d_%s_wrong=%d\n", ebn0, names[k],
                kinds[k].sent, ebn0, names[k], kinds[k].ok, ebn0, names[k], kinds[k].wrong);
    std::printf("ebn0_%d_%s_multimon_ok=%d\nebn0_%d_%s_voter=%.1f\n", ebn0, names[k],
                kinds[k].mmok, ebn0, names[k], kinds[k].voter);
  }
  std::printf("ebn0_%d_multimon_wrong=%d\n", ebn0, mmwrong);
  std::fflush(stdout);
}

// Noise at several levels, voice-like sound and both attention tones, with
// no header in them.
void measurefalse(double minutes) {
  sameAudio audio(signal());
  std::uint32_t seed = 1;
  while (audio.size() < minutes * 60 * rate) {
    audio.voice(8, seed);
    audio.attentionTone(4, seed % 2 == 1);
    audio.silence(3);
    audio.voice(5, seed + 1000);
    ++seed;
  }
  audio.noise(6, 99);
  const std::vector<std::int16_t> samples = audio.samples();
  int headers = 0, ends = 0;
  for (const demodevent &e : demodulate(samples)) {
    if (std::holds_alternative<headerheard>(e)) ++headers;
    if (std::holds_alternative<endheard>(e)) ++ends;
  }
  int mm = 0;
  for (const std::string &line : multimon(samples)) mm += line.rfind("ZCZC", 0) == 0 ? 1 : 0;
  std::printf("false_seconds=%zu\nfalse_headers=%d\nfalse_ends=%d\nfalse_multimon_headers=%d\n",
              samples.size() / rate, headers, ends, mm);
}

// From the end of the second burst to the header's event: the sound the
// demodulator still needs (pushed a millisecond at a time) and the time the
// push that gave the event took.
void measurelatency(int runs) {
  double soundmax = 0, computemax = 0;
  for (int r = 0; r < runs; ++r) {
    sameAudio audio(signal());
    audio.silence(1);
    const std::string header = testsupport::randomHeader(1 + r % 31, 500 + r);
    audio.burst(header, r);
    audio.silence(1);
    audio.burst(header, r + 1);
    const std::size_t end = audio.size();
    audio.silence(2);
    audio.noise(14, 600 + r);
    const std::vector<std::int16_t> samples = audio.samples();
    demodulator demod(rate);
    std::vector<demodevent> events;
    demod.push(samples.data(), end, events);
    const std::size_t step = rate / 1000;
    for (std::size_t at = end; at < samples.size() && events.empty(); at += step) {
      const auto t0 = std::chrono::steady_clock::now();
      demod.push(samples.data() + at, std::min(step, samples.size() - at), events);
      const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      if (!events.empty()) {
        soundmax = std::max(soundmax, 1000.0 * static_cast<double>(at + step - end) / rate);
        computemax = std::max(computemax, took);
      }
    }
  }
  std::printf("latency_runs=%d\nlatency_sound_max_ms=%.1f\nlatency_compute_max_ms=%.2f\n", runs,
              soundmax, computemax);
}

}  // namespace

int main(int argc, char **argv) {
  int shortcount = 200, longcount = 50;
  double falseminutes = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      shortcount = 100;
      longcount = 20;
      falseminutes = 2;
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: demod_measure [--quick]\n"
                  "Headers heard against Eb/N0 (8 to 14 dB), by zud's demodulator and by\n"
                  "multimon-ng, headers given out from sound with none, and the latency.\n");
      return 0;
    } else {
      std::fprintf(stderr, "demod_measure: unknown argument '%s'\n", argv[i]);
      return 2;
    }
  }
  for (int ebn0 = 8; ebn0 <= 14; ++ebn0) measurepoint(ebn0, shortcount, longcount);
  measurefalse(falseminutes);
  measurelatency(20);
  return 0;
}
