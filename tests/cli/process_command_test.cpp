// timbrelo-cli run as a user runs it: real files in, real files out, exit codes and messages.

#include "support/audio_files.h"
#include "support/process.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 22050;

// The program with the arguments; its exit status, and its standard output and error together.
CommandResult run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TIMBRELO_BINARY_DIR "/src/cli/timbrelo-cli");
    return runCommand(arguments, std::chrono::seconds(120), true);
}

class CliTest : public ::testing::Test {
  protected:
    TempDir dir;
    const std::string out = dir.file("out.wav");

    // A synthetic voice of known pitch, with a short silence at both ends.
    std::string voiceFile(double f0, double seconds = 2.0, const std::string& name = "voice.wav",
                          uint32_t rate = 22050, uint16_t channels = 2) {
        const std::vector<float> voice = makeVoice(f0, seconds, rate, 0.5);
        writeWav(dir.file(name), toInterleaved16(padded(voice, rate / 5), channels), rate,
                 channels);
        return dir.file(name);
    }

    // The middle of a WAV file's left channel, from 30 % to 60 % of its length.
    static std::vector<float> middleOf(const std::string& wav) {
        auto contents = readWav(wav);
        EXPECT_TRUE(contents.has_value()) << wav;
        return contents ? slice(channelOf(asSamples(contents->data), 2, 0), 0.3, 0.6)
                        : std::vector<float>{};
    }
    static double pitchOf(const std::string& wav) {
        return measurePitchMedian(middleOf(wav), kRate);
    }
    // The cartoon voice moves every partial by its factor; its short frames blur the
    // periodicity of a formant-shaped voice, so a tone shows it.
    std::string toneFile(double frequency) {
        writeWav(dir.file("tone.wav"), makeTone(frequency, 2.0, kRate, 2), 22050, 2);
        return dir.file("tone.wav");
    }
    static double toneOf(const std::string& wav) {
        return measureToneFrequency(middleOf(wav), kRate);
    }
};

TEST_F(CliTest, EveryPresetChangesThePitchByItsFactor) {
    struct Case {
        const char* preset;
        double f0;
        double factor;
        double tolerance;
    };
    // Psola presets raise the pitch by R * P / (P + 0.5) for a period of P samples.
    auto psola = [](double r, double f0) {
        const double period = kRate / f0;
        return r * period / (period + 0.5);
    };
    const Case cases[] = {
        {"No Effect", 120, 1.0, 0.01},
        {"Male to female(Sweet)", 120, psola(1.6, 120), 0.02},
        {"Male to female(General)", 120, std::pow(2.0, 9 / 12.0), 0.01},
        {"Male to girl(Sweet)", 120, psola(2.0, 120), 0.02},
        {"32783", 120, std::pow(2.0, 11 / 12.0), 0.01},
        {"Hide me(Male)", 120, std::pow(2.0, -4 / 12.0), 0.01},
        {"female to male", 220, std::pow(2.0, -7 / 12.0), 0.01},
        {"Female to boy", 220, std::pow(2.0, -4 / 12.0), 0.01},
        {"Hide me(Female)", 220, std::pow(2.0, 4 / 12.0), 0.01},
    };
    const std::string in120 = voiceFile(120, 2.0, "v120.wav");
    const std::string in220 = voiceFile(220, 2.0, "v220.wav");
    for (const Case& c : cases) {
        const CommandResult r =
            run({"process", "--quiet", "--preset", c.preset, c.f0 == 120 ? in120 : in220, out});
        ASSERT_EQ(r.status, 0) << c.preset << ": " << r.output;
        const double expected = c.f0 * c.factor;
        EXPECT_NEAR(pitchOf(out), expected, expected * c.tolerance) << c.preset;
    }
    const std::string tone = toneFile(300);
    for (const auto& [preset, factor] : {std::pair{"Mickey", 1.4}, std::pair{"Donald", 1.99}}) {
        ASSERT_EQ(run({"process", "--quiet", "--preset", preset, tone, out}).status, 0);
        EXPECT_NEAR(toneOf(out), 300 * factor, 300 * factor * 0.01) << preset;
    }
}

TEST_F(CliTest, SlidersSemitonesAndCartoonOptions) {
    const std::string input = voiceFile(150);
    ASSERT_EQ(run({"process", "--quiet", "--semitones", "12", input, out}).status, 0);
    EXPECT_NEAR(pitchOf(out), 300, 3);
    ASSERT_EQ(run({"process", "--quiet", "--cartoon", "1.5", toneFile(150), out}).status, 0);
    EXPECT_NEAR(toneOf(out), 225, 225 * 0.01);
    ASSERT_EQ(run({"process", "--quiet", "--pitch", "150", "--timbre", "120", input, out}).status,
              0);
    const double period = kRate / 150;
    EXPECT_NEAR(pitchOf(out), 150 * 1.5 * period / (period + 0.5), 225 * 0.02);
}

TEST_F(CliTest, BackgroundMusicPlaysUnderTheWholeVoiceWithoutGaps) {
    const std::string input = voiceFile(120, 3.0);
    const std::string music = dir.file("music.wav");
    writeWav(music, makeTone(700, 1.3, 44100, 2, 0.5), 44100, 2); // loops more than twice
    const CommandResult r =
        run({"process", "--quiet", "--background", music, "--level", "0.5", input, out});
    ASSERT_EQ(r.status, 0) << r.output;
    auto contents = readWav(out);
    ASSERT_TRUE(contents.has_value());
    const std::vector<float> left = channelOf(asSamples(contents->data), 2, 0);
    // Every 0.1 s of the run carries the music (the file is read far faster than real time).
    for (size_t start = 0; start + 2205 <= left.size(); start += 2205) {
        const std::vector<float> piece(left.begin() + static_cast<long>(start),
                                       left.begin() + static_cast<long>(start + 2205));
        ASSERT_GT(toneLevelDb(piece, kRate, 700), -20.0) << "at " << start / kRate << " s";
    }
    // A WAV file that isn't 16-bit PCM would play as silence: refused with the reason.
    const std::string wide = dir.file("wide.wav");
    writeFile(wide, readFile(music).replace(34, 2, std::string("\x20\x00", 2)));
    const CommandResult refused = run({"process", "--background", wide, input, out + "2"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("not a 16-bit PCM WAV file"), std::string::npos)
        << refused.output;
}

TEST_F(CliTest, EffectsOffGivesTheInputBackByteForByte) {
    const std::string input = voiceFile(130, 1.3);
    const CommandResult r = run({"process", "--effects", "off", input, out});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("input 1.70 s"), std::string::npos) << r.output;
    auto in = readWav(input);
    auto got = readWav(out);
    ASSERT_TRUE(in && got);
    EXPECT_EQ(got->format.tag, 1);
    EXPECT_EQ(got->format.channels, 2);
    EXPECT_EQ(got->format.rate, 22050u);
    EXPECT_EQ(got->format.bits, 16);
    EXPECT_TRUE(got->data == in->data);
}

TEST_F(CliTest, OtherRatesAndChannelsAreConvertedAndMp3OutputDecodes) {
    const std::string input = voiceFile(140, 1.5, "mono44.wav", 44100, 1);
    ASSERT_EQ(run({"process", "--quiet", "--preset", "32782", input, out}).status, 0);
    EXPECT_NEAR(pitchOf(out), 140 * std::pow(2.0, 0.75), 140 * std::pow(2.0, 0.75) * 0.01);

    const std::string mp3 = dir.file("Out.MP3");
    const CommandResult r = run({"process", "--quiet", input, mp3});
    ASSERT_EQ(r.status, 0) << r.output;
    const std::vector<int16_t> decoded = decodeMp3WithSox(mp3, 2);
    ASSERT_GT(decoded.size(), 2 * 22050u);
    const std::vector<float> left = channelOf(decoded, 2, 0);
    EXPECT_NEAR(measurePitchMedian(slice(left, 0.3, 0.6), kRate), 140, 140 * 0.01);
}

TEST_F(CliTest, ErrorsExitWithOneClearLineAndLeaveNoOutput) {
    const std::string input = voiceFile(120, 0.5);
    writeFile(dir.file("empty.wav"), "");
    writeFile(dir.file("garbage.wav"), std::string(5000, 'x'));
    writeFile(
        dir.file("header-only.wav"),
        std::string("RIFF\x24\0\0\0WAVEfmt "
                    "\x10\0\0\0\x01\0\x02\0\x22\x56\0\0\x88\x58\x01\0\x04\0\x10\0data\0\0\0\0",
                    44));
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"process", dir.file("missing.wav"), out}, 1, "missing.wav"},
        {{"process", dir.file("empty.wav"), out}, 1, "empty.wav"},
        {{"process", dir.file("garbage.wav"), out}, 1, "garbage.wav"},
        {{"process", dir.file("header-only.wav"), out}, 1, "no audio"},
        {{"process", dir.path(), out}, 1, dir.path()},
        {{"process", "--preset", "Robot", input, out}, 1, "unknown preset"},
        {{"process", "--pitch", "400", input, out}, 1, "out of range"},
        {{"process", "--level", "1.5", input, out}, 1, "out of range"},
        {{"process", "--semitones", "2.5", input, out}, 1, "whole number"},
        {{"process", "--echo", "0.5 0.5 0 0.3", input, out}, 1, "echo: delay must be positive"},
        {{"process", "--background", dir.file("nothing.mp3"), input, out}, 1, "nothing.mp3"},
        {{"process", input, dir.file("no/such/folder/out.wav")}, 1, "out.wav"},
        {{"process", input, dir.path()}, 1, "folder"},
        {{"process", input}, 2, "usage:"},
        {{"process", "--pitch"}, 2, "usage:"},
        {{"process", "--frobnicate", input, out}, 2, "unknown option"},
        {{"transmogrify"}, 2, "usage:"},
    };
    for (const Case& c : cases) {
        const std::string call = ::testing::PrintToString(c.arguments);
        const CommandResult r = run(c.arguments);
        EXPECT_EQ(r.status, c.status) << call << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << call << "\n" << r.output;
        EXPECT_FALSE(fileExists(out)) << call;
    }
    // Nothing half-written is left beside the outputs either.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find("partial"), std::string::npos);
    }
}

TEST_F(CliTest, PresetsAreListed) {
    const CommandResult r = run({"presets"});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("32782  Male to female(General)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("32774  Donald"), std::string::npos);
}

} // namespace
