#include "audio/block_queue.h"
#include "audio/recording_support.h"
#include "audio/recording_writer.h"
#include "platform/messages.h"
#include "support/audio_files.h"
#include "support/process.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr uint32_t kBlock = 1024; // samples: the capture engine's 2048-byte blocks
constexpr RecordSource kVoice = RecordSource::Voice;
constexpr RecordSource kRender = RecordSource::Render;

std::vector<int16_t> constant(int16_t value, uint32_t samples) {
    return std::vector<int16_t>(samples, value);
}

// Writes the voice in blocks as the capture thread does.
void feed(RecordingWriter& w, std::span<const int16_t> samples) {
    for (size_t at = 0; at < samples.size(); at += kBlock) {
        w.write(samples.subspan(at, std::min<size_t>(kBlock, samples.size() - at)), kVoice);
    }
}

// The whole file a finished WAV recording of `samples` must be, byte for byte.
std::vector<uint8_t> wavImage(const StreamFormat& f, const std::vector<int16_t>& samples) {
    const std::vector<uint8_t> data = asBytes(samples);
    std::vector<uint8_t> out;
    auto put = [&](const std::vector<uint32_t>& values, int bytes) {
        for (uint32_t value : values) {
            for (int i = 0; i < bytes; ++i) {
                out.push_back(static_cast<uint8_t>(value >> (8 * i)));
            }
        }
    };
    auto text = [&](const char* chars) { out.insert(out.end(), chars, chars + 4); };
    text("RIFF"), put({static_cast<uint32_t>(38 + data.size())}, 4), text("WAVE"), text("fmt ");
    put({18}, 4), put({1, f.channels}, 2), put({f.rate, f.bytesPerSecond()}, 4);
    put({f.frameBytes(), 16, 0}, 2), text("data"), put({static_cast<uint32_t>(data.size())}, 4);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

class RecordingWriterTest : public ::testing::Test {
  protected:
    TempDir dir;
    MessageCapture messages;
    RecordingWriter writer;
    std::unique_ptr<StubEncoder> stub;

    // Has the writer load the scripted encoder at `path`, set up to fail as asked.
    void useStub(const char* path, int failEncodeAt = 0, uint32_t initError = 0) {
        stub = std::make_unique<StubEncoder>(path, failEncodeAt, initError);
        writer.setEncoderLibrary(path);
    }
};

// In the pipeline's format and in another capture format (invalid ones are refused): the WAV
// file is exactly the samples fed, the ring's last partial fill included, and other tools
// read both kinds of file.
TEST_F(RecordingWriterTest, FilesHoldExactlyTheSamplesFedInTheCaptureFormat) {
    for (const StreamFormat format : {kPipelineFormat, StreamFormat{44100, 1}}) {
        SCOPED_TRACE(format.rate);
        if (format != kPipelineFormat) {
            writer.setCaptureFormat(format, 4096);
            writer.setCaptureFormat(StreamFormat{44100, 3}, 4096);
            writer.setCaptureFormat(StreamFormat{0, 2}, 4096);
        }
        const std::vector<int16_t> input = makeNoise(format.rate * format.channels + 300);
        const std::string wav = dir.file("x.wav");
        const std::string mp3 = dir.file("x.mp3");
        ASSERT_EQ(writer.startRecording(kOriginSlot, wav), 1);
        EXPECT_TRUE(writer.recording() && writer.recordsSlot(kOriginSlot));
        EXPECT_FALSE(writer.recordsSlot(kEffectSlot));
        ASSERT_EQ(writer.startRecording(kEffectSlot, mp3), 1);
        feed(writer, input);
        stopAll(writer);
        EXPECT_FALSE(writer.recording());
        EXPECT_EQ(fileBytes(wav), wavImage(format, input));
        for (const std::string& path : {wav, mp3}) {
            EXPECT_EQ(runCommand({"soxi", "-r", path}).output, std::to_string(format.rate) + "\n");
            EXPECT_EQ(runCommand({"soxi", "-c", path}).output,
                      std::to_string(format.channels) + "\n");
        }
        EXPECT_EQ(runCommand({"soxi", "-s", wav}).output,
                  std::to_string(input.size() / format.channels) + "\n");
    }
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(RecordingWriterTest, OneSourceWaitsForTheFullRingTwoMeetInItAndTheOpenFileStaysPlayable) {
    const std::string path = dir.file("open.wav");
    ASSERT_EQ(writer.startRecording(kEffectSlot, path), 1);
    const std::vector<int16_t> block = makeNoise(kBlock);
    for (int i = 0; i < 5; ++i) {
        writer.write(block, kVoice);
    }
    writer.waitForWriter();
    std::optional<WavContents> wav = readWav(path);
    ASSERT_TRUE(wav);
    EXPECT_TRUE(wav->data.empty());

    // The sixth block would overflow the ring: its 10240 bytes reach the file, with sizes
    // in the header, as a program killed now would leave it.
    writer.write(block, kVoice);
    writer.waitForWriter();
    wav = readWav(path);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->data.size(), RecordingWriter::kMixRingBytes);
    EXPECT_EQ(wav->dataSize, RecordingWriter::kMixRingBytes);
    EXPECT_EQ(wav->riffSize, fileBytes(path).size() - 8);
    EXPECT_EQ(runCommand({"soxi", "-s", path}).output, "2560\n");

    writer.stopRecording(kEffectSlot, RecordKind::Wav);
    EXPECT_EQ(readWav(path)->data.size(), 6u * kBlock * 2);

    // Two sources meet in the ring, and the rest is written at the stop.
    const std::string mixed = dir.file("mixed.wav");
    ASSERT_EQ(writer.startRecording(kOriginSlot, mixed), 1);
    writer.write(constant(1000, 2048), kVoice);
    // Shorter than what waits: mixed into the ring's start; the voice stays the waiting source.
    writer.write(constant(2000, 1024), kRender);
    // Longer than what waits: its rest becomes the waiting source.
    writer.write(constant(-3000, 2048), kRender);
    writer.write(constant(-3000, 1024), kRender);
    writer.waitForWriter();
    EXPECT_EQ(readWav(mixed)->data.size(), 4096u);
    writer.stopRecording(kOriginSlot, RecordKind::Wav);

    std::vector<int16_t> expected(1024, 2939);
    expected.insert(expected.end(), 1024, RecordingWriter::mix(1000, -3000));
    expected.insert(expected.end(), 2048, -3000);
    EXPECT_EQ(asSamples(readWav(mixed)->data), expected);
}

TEST(RecordingQueue, TakesBlocksUntilFullAndHandsThemBackIntactAcrossItsEnd) {
    BlockQueue queue(20000); // room for a few of the largest blocks
    std::vector<std::pair<std::vector<int16_t>, RecordSource>> out;
    const auto take = [&](std::span<const int16_t> s, RecordSource source) {
        out.emplace_back(std::vector<int16_t>(s.begin(), s.end()), source);
    };
    EXPECT_FALSE(queue.push(std::vector<int16_t>(BlockQueue::kMaxBlockSamples + 1), kVoice));
    EXPECT_FALSE(queue.popBefore(UINT64_MAX, take));

    // Odd sizes keep the records' padding in play; blocks wrap round the end many times.
    std::vector<std::pair<std::vector<int16_t>, RecordSource>> in;
    int16_t next = 0;
    for (int round = 0; round < 50; ++round) {
        size_t pushed = 0;
        for (;;) {
            std::vector<int16_t> block(1 + (round * 977 + pushed * 1553) % 4096);
            for (int16_t& s : block) {
                s = next++;
            }
            const RecordSource source = (round + pushed) % 2 ? kVoice : kRender;
            if (!queue.push(block, source)) {
                break;
            }
            in.emplace_back(std::move(block), source);
            ++pushed;
        }
        ASSERT_GE(pushed, 2u); // an empty queue takes any two blocks
        // Only what was queued before the limit comes out.
        const uint64_t limit = queue.end();
        ASSERT_TRUE(queue.popBefore(limit, take));
        ASSERT_TRUE(queue.push({}, kVoice));
        while (queue.popBefore(limit, take)) {
        }
        ASSERT_EQ(out.size(), in.size());
        ASSERT_TRUE(queue.popBefore(UINT64_MAX, take));
        EXPECT_TRUE(out.back().first.empty());
        out.pop_back();
        EXPECT_FALSE(queue.popBefore(UINT64_MAX, take));
    }
    EXPECT_EQ(out, in);
}

TEST(RecordingMix, FollowsTheTwoSourceFormulaAndStaysInRange) {
    EXPECT_EQ(RecordingWriter::mix(1000, 2000), 2939);
    EXPECT_EQ(RecordingWriter::mix(-1000, -2000), -2939);
    EXPECT_EQ(RecordingWriter::mix(1000, -2000), -939);
    EXPECT_EQ(RecordingWriter::mix(0, -1234), -1234);
    EXPECT_EQ(RecordingWriter::mix(-32768, -32768), -32767);
    // Loud positive samples saturate instead of wrapping round to -32768.
    EXPECT_EQ(RecordingWriter::mix(32767, 32767), 32767);
    EXPECT_EQ(RecordingWriter::mix(32767, 32766), 32767);
}

TEST_F(RecordingWriterTest, BlocksThatCannotBeRecordedAreIgnored) {
    const std::vector<int16_t> big = makeNoise(RecordingWriter::kMaxBlockBytes / 2 + 2);
    const std::span<const int16_t> all(big);
    writer.write(all.first(2048), kVoice); // no file open yet
    const std::string path = dir.file("blocks.wav");
    ASSERT_EQ(writer.startRecording(kOriginSlot, path), 1);
    writer.write(all.first(RecordingWriter::kMaxBlockBytes / 2 + 1), kVoice);
    writer.write({}, kVoice);
    writer.write(all.first(RecordingWriter::kMaxBlockBytes / 2), kVoice);
    writer.stopRecording(kOriginSlot, RecordKind::Wav);
    EXPECT_EQ(asSamples(readWav(path)->data), std::vector<int16_t>(big.begin(), big.end() - 2));
}

TEST_F(RecordingWriterTest, ThePathsEndingDecidesBetweenMp3AndWav) {
    struct Case {
        const char* name;
        bool mp3;
    };
    for (const Case& c : {Case{"a.MP3", true}, Case{"b.Mp3", true}, Case{"c.mp3x", false},
                          Case{"d.mp3.wav", false}, Case{"e", false}}) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        ASSERT_EQ(writer.startRecording(kOriginSlot, path), 1);
        EXPECT_EQ(writer.mp3Open(kOriginSlot), c.mp3);
        EXPECT_EQ(writer.wavOpen(kOriginSlot), !c.mp3);
        feed(writer, makeNoise(22050));
        stopAll(writer);
        const std::vector<uint8_t> bytes = fileBytes(path);
        ASSERT_GE(bytes.size(), 4u);
        if (c.mp3) {
            EXPECT_EQ(bytes[0], 0xFF);
            EXPECT_EQ(bytes[1] & 0xE0, 0xE0);
        } else {
            EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
        }
    }
    EXPECT_TRUE(writer.encoderLoaded());
    writer.unloadEncoder();
    EXPECT_FALSE(writer.encoderLoaded());
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(RecordingWriterTest, Mp3OfAToneDecodesToTheToneAtTheFedLengthWithItsInfoTag) {
    const std::vector<int16_t> tone = makeTone(440, 2.0, 22050, 2, 0.5);
    const std::string path = dir.file("tone.mp3");
    ASSERT_EQ(writer.startRecording(kEffectSlot, path), 1);
    EXPECT_TRUE(writer.recordsSlot(kEffectSlot));
    feed(writer, tone);
    stopAll(writer);
    EXPECT_TRUE(messages.messages().empty());

    const std::vector<uint8_t> bytes = fileBytes(path);
    ASSERT_GT(bytes.size(), 64u);
    const std::string head(bytes.begin(), bytes.begin() + 64);
    EXPECT_NE(head.find("Info"), std::string::npos);

    // The lame front end trims the encoder's delay and padding by the tag.
    const std::vector<int16_t> exact = decodeMp3WithLame(path, dir.path());
    const long fedFrames = static_cast<long>(tone.size() / 2);
    EXPECT_NEAR(static_cast<long>(exact.size() / 2), fedFrames, 576);

    const std::vector<int16_t> decoded = decodeMp3WithSox(path, 2);
    ASSERT_GT(decoded.size(), tone.size() / 2);
    for (int channel : {0, 1}) {
        const std::vector<float> x = channelOf(decoded, 2, channel);
        EXPECT_NEAR(measureToneFrequency(slice(x, 0.2, 0.8), 22050), 440.0, 1.0);
    }
}

// A start that fails says why once and leaves no stream open and nothing half-made behind.
TEST_F(RecordingWriterTest, StartsThatFailAreReportedAndLeaveNoStreamOpen) {
    EXPECT_EQ(writer.startRecording(kOriginSlot, dir.file("no/such/folder.wav")), 0);
    EXPECT_EQ(messages.messages().back(), "Open wave file failed.");
    ASSERT_EQ(::mkdir(dir.file("taken.wav").c_str(), 0755), 0);
    EXPECT_EQ(writer.startRecording(kOriginSlot, dir.file("taken.wav")), 0);
    EXPECT_EQ(messages.messages().back(), "Open wave file failed.");

    const std::string path = dir.file("out.mp3");
    for (const std::string& missing : {dir.file("liblame_enc.so"), std::string("libnot_here.so")}) {
        writer.setEncoderLibrary(missing);
        EXPECT_EQ(writer.startRecording(kOriginSlot, path), 0);
        EXPECT_EQ(messages.messages().back(), "Error loading MP3 encoder.");
        EXPECT_FALSE(writer.encoderLoaded());
    }
    writer.setEncoderLibrary(STUB_ENCODER_PARTIAL);
    for (int attempt = 0; attempt < 2; ++attempt) {
        messages.clear();
        EXPECT_EQ(writer.startRecording(kOriginSlot, path), 0);
        EXPECT_EQ(messages.messages(),
                  std::vector<std::string>{"Unable to get MP3 encoder interfaces."});
        EXPECT_FALSE(writer.encoderLoaded());
    }
    writer.unloadEncoder();

    useStub(STUB_ENCODER, 0, BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(writer.startRecording(kOriginSlot, path), 0);
    EXPECT_EQ(messages.messages().back(), "Error opening encoding stream (2)");
    EXPECT_FALSE(fileExists(path));
    useStub(STUB_ENCODER);
    const std::string mp3 = dir.file("no/such/folder.mp3");
    EXPECT_EQ(writer.startRecording(kOriginSlot, mp3), 0);
    EXPECT_EQ(messages.messages().back(), "Error creating file " + mp3);
    EXPECT_EQ(stub->log(), "init;close;");
    EXPECT_FALSE(writer.recording());
    EXPECT_FALSE(writer.recordsSlot(kOriginSlot));
}

TEST_F(RecordingWriterTest, StagingEncodesWholeChunksTheTailAtStopThenTheTagOrTheVbrHeader) {
    useStub(STUB_ENCODER);
    ASSERT_EQ(writer.startRecording(kOriginSlot, dir.file("chunks.mp3")), 1);
    const uint32_t chunk = 1152; // the stub's chunk

    // Two sources flush exactly what overlaps: one chunk waits, a second one lets it go.
    writer.write(constant(1, chunk), kVoice);
    writer.write(constant(2, chunk), kRender);
    writer.waitForWriter();
    EXPECT_EQ(stub->log(), "init;");
    writer.write(constant(1, chunk), kVoice);
    writer.write(constant(2, chunk), kRender);
    writer.waitForWriter();
    EXPECT_EQ(stub->log(), "init;encode 1152;");

    writer.write(constant(1, 500), kVoice);
    stopAll(writer);
    EXPECT_EQ(stub->log(), "init;encode 1152;encode 1152;encode 500;deinit;close;infotag;");
    EXPECT_TRUE(messages.messages().empty());

    // Without the info tag's entry point the VBR header is written instead.
    writer.unloadEncoder();
    useStub(STUB_ENCODER_NO_TAG);
    ASSERT_EQ(writer.startRecording(kEffectSlot, dir.file("v.mp3")), 1);
    stopAll(writer);
    EXPECT_EQ(stub->log(), "init;deinit;close;vbrheader;");
}

TEST_F(RecordingWriterTest, AFailedEncodeClosesTheStreamAndNothingCallsIntoItAgain) {
    useStub(STUB_ENCODER, 2);
    const std::string path = dir.file("broken.mp3");
    ASSERT_EQ(writer.startRecording(kOriginSlot, path), 1);
    feed(writer, makeNoise(3 * RecordingWriter::kMixRingBytes / 2));
    stopAll(writer);

    EXPECT_EQ(stub->log(), "init;encode 1152;encode-fail;close;infotag;");
    EXPECT_EQ(messages.messages(),
              std::vector<std::string>{"m_ForMp3_Proc_hEncodeChunk() failed (5)"});
    EXPECT_EQ(fileBytes(path).size(), 16u); // what the first chunk gave
}

} // namespace
