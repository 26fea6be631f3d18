// zud-decode run as a program: a WAV file and raw samples in, the header
// and its end of message out as lines or JSON, and the usage and input
// errors with status 2.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.h"
#include "sameaudio.h"

namespace {

using namespace std::chrono_literals;
using testsupport::binPath;
using testsupport::Process;
using testsupport::TempDir;

const std::string kHeader = "ZCZC-WXR-TOR-016001-016027+0045-3421742-KBOI/NWS-";

struct Result {
  int status = -1;
  std::string out, err;
};

Result runDecode(const std::vector<std::string> &args) {
  Process process;
  Result result;
  if (!process.start(binPath("zud-decode"), args)) return result;
  result.status = Process::exitCode(process.wait(30s));
  result.out = process.out();
  result.err = process.err();
  return result;
}

// A little-endian field of `bytes` bytes.
std::string field(std::uint32_t value, int bytes) {
  std::string text;
  for (int i = 0; i < bytes; ++i) text.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  return text;
}

// A 16-bit PCM WAV file of two channels: the sound on the first, silence
// on the second.
std::string stereoWav(const std::vector<std::int16_t> &samples, int rate) {
  std::string data;
  for (const std::int16_t s : samples) data += field(static_cast<std::uint16_t>(s), 2) + field(0, 2);
  return "RIFF" + field(36 + data.size(), 4) + "WAVEfmt " + field(16, 4) + field(1, 2) +
         field(2, 2) + field(rate, 4) + field(rate * 4, 4) + field(4, 2) + field(16, 2) + "data" +
         field(data.size(), 4) + data;
}

class ZudDecode : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.made());
    testsupport::sameSignal signal;
    signal.rate = 44100;
    testsupport::sameAudio audio(signal);
    audio.silence(1);
    audio.message(kHeader, 1, 1, 2);
    audio.noise(15, 2);
    samples_ = audio.samples();
  }
  TempDir dir_;
  std::vector<std::int16_t> samples_;
};

TEST_F(ZudDecode, WavFileFirstChannelGivesTheHeaderAndItsEnd) {
  const std::string path = dir_.file("radio.wav");
  ASSERT_TRUE(testsupport::writeFile(path, stereoWav(samples_, 44100)));
  const Result result = runDecode({path});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, kHeader + "\nNNNN\n");
}

TEST_F(ZudDecode, RawSamplesAsJsonWithTheDetails) {
  const std::string path = dir_.file("radio.raw");
  ASSERT_TRUE(testsupport::writeFile(path, testsupport::rawBytes(samples_)));
  const Result result = runDecode({"--json", "--raw", "--rate", "44100", path});
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<std::string> types;
  size_t start = 0;
  for (size_t end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1) {
    const nlohmann::json line = nlohmann::json::parse(result.out.substr(start, end - start));
    types.push_back(line["type"]);
    if (line["type"] == "header") {
      EXPECT_EQ(line["header"], kHeader);
      EXPECT_NEAR(line["start"].get<double>(), 1.0, 0.01);
      EXPECT_EQ(line["bursts"], 2);
      EXPECT_GE(line["confidence"].get<double>(), 0.999);
    }
  }
  EXPECT_EQ(types, (std::vector<std::string>{"header", "message-start", "message-end", "end"}));
}

TEST_F(ZudDecode, BadUsageAndUnreadableInputAreStatusTwoWithOneLine) {
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--raw"}, {"--rate", "22050"}, {"--raw", "--rate", "4000"}, {"a", "b"}, {"--loud"}}) {
    const Result result = runDecode(args);
    EXPECT_EQ(result.status, 2) << args[0];
    EXPECT_EQ(result.out, "");
  }
  const std::string text = dir_.file("notes.txt");
  ASSERT_TRUE(testsupport::writeFile(text, "not a sound\n"));
  for (const std::string &path : {dir_.file("missing.wav"), text}) {
    const Result result = runDecode({path});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.find("zud-decode: cannot read " + path + ": "), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

}  // namespace
