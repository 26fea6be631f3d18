// zud-decode -- the SAME headers in a recording, heard by zud's own
// demodulator: a way to check a recording, or a radio's sound piped in, as
// one would with other decoders.  One line per header as heard, and NNNN
// for each end of message; with --json, one object a line with all that
// the demodulator tells of each.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "input.h"
#include "options.h"
#include "same/demodulator.h"
#include "toolkit.h"

namespace {

using namespace zuddecode;

// Seconds from the start of the input, to the millisecond.
double seconds(std::uint64_t position, int rate) {
  return static_cast<double>(position * 1000 / static_cast<std::uint64_t>(rate)) / 1000;
}

// One event as text, or as a JSON object; empty for what plain text leaves out.
std::string describe(const demodevent &event, int rate, bool json) {
  nlohmann::ordered_json object;
  if (const auto *header = std::get_if<headerheard>(&event)) {
    if (!json) return header->header;
    object["type"] = "header";
    object["header"] = header->header;
    object["start"] = seconds(header->position, rate);
    object["end"] = seconds(header->end, rate);
    object["bursts"] = header->bursts;
    object["corrected"] = header->corrected;
    object["confidence"] = header->confidence;
  } else if (const auto *end = std::get_if<endheard>(&event)) {
    if (!json) return "NNNN";
    object["type"] = "end";
    object["start"] = seconds(end->position, rate);
  } else if (const auto *starts = std::get_if<messagestarts>(&event)) {
    if (!json) return std::string();
    object["type"] = "message-start";
    object["at"] = seconds(starts->position, rate);
  } else if (const auto *ends = std::get_if<messageends>(&event)) {
    if (!json) return std::string();
    object["type"] = "message-end";
    object["at"] = seconds(ends->position, rate);
    object["end-heard"] = ends->endheard;
  }
  return object.dump();
}

void print(const std::vector<demodevent> &events, int rate, bool json) {
  for (const demodevent &event : events) {
    const std::string line = describe(event, rate, json);
    if (!line.empty()) std::printf("%s\n", line.c_str());
  }
  // Each line as soon as it is known: a radio's sound may be piped in live.
  if (!events.empty()) std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  const options opts = parseoptions(argc, argv);
  std::string why;
  std::unique_ptr<soundinput> input =
      opts.raw ? openraw(opts.path, opts.rate, why) : opensoundfile(opts.path, why);
  const std::string name = opts.path == "-" ? "standard input" : opts.path;
  if (!input) {
    toolkit::complain(kProgram, "cannot read " + name + ": " + why);
    return toolkit::exitUsage;
  }
  demodulator demod(input->rate());
  std::vector<std::int16_t> samples;
  std::vector<demodevent> events;
  while (input->read(samples)) {
    events.clear();
    demod.push(samples.data(), samples.size(), events);
    print(events, input->rate(), opts.json);
  }
  events.clear();
  demod.finish(events);
  print(events, input->rate(), opts.json);
  if (!input->error().empty()) {
    toolkit::complain(kProgram, "cannot read " + name + ": " + input->error());
    return toolkit::exitUsage;
  }
  return toolkit::exitOk;
}
