// timbrelo-cli run as a user runs it: real files in, real files out, exit codes and messages.
// Kept in one file (over 500 lines): every case runs the same program on files made with the
// same helpers.

#include "support/audio_files.h"
#include "support/process.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 22050;

const std::string kCli = TIMBRELO_BINARY_DIR "/src/cli/timbrelo-cli";

// The program with the arguments; its exit status, and its standard output and error together.
CommandResult run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), kCli);
    return runCommand(arguments, std::chrono::seconds(120), true);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

bool anyPartialIn(const std::string& folder) {
    return std::ranges::any_of(std::filesystem::directory_iterator(folder), [](const auto& entry) {
        return entry.path().filename().string().find(".partial") != std::string::npos;
    });
}

class CliTest : public ::testing::Test {
  protected:
    TempDir dir;
    TempDir config; // the user's settings stay out of the way
    ScopedEnv xdg{"XDG_CONFIG_HOME", config.path()};
    const std::string out = dir.file("out.wav");

    // Audio made by sox (for formats and lengths the tests' own writer does not make).
    std::string soxFile(const std::string& name, const std::string& rate,
                        const std::vector<std::string>& effects) {
        std::vector<std::string> argv = {"sox", "-n", "-r", rate,          "-c",
                                         "1",   "-b", "16", dir.file(name)};
        argv.insert(argv.end(), effects.begin(), effects.end());
        EXPECT_EQ(runCommand(argv, std::chrono::seconds(60)).status, 0) << name;
        return dir.file(name);
    }

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

TEST_F(CliTest, PresetsAreListedAndEachPresetOrSliderChangesThePitchByItsFactor) {
    const CommandResult listed = run({"presets"});
    ASSERT_EQ(listed.status, 0);
    EXPECT_NE(listed.output.find("32782  Male to female(General)"), std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("32774  Donald"), std::string::npos);

    struct Case {
        std::vector<std::string> options;
        double f0;
        double factor;
        double tolerance;
        bool tone = false; // the cartoon voice, judged on a tone (see toneFile)
    };
    // Psola presets raise the pitch by R * P / (P + 0.5) for a period of P samples.
    auto psola = [](double r, double f0) {
        const double period = kRate / f0;
        return r * period / (period + 0.5);
    };
    const Case cases[] = {
        {{"--preset", "No Effect"}, 120, 1.0, 0.01},
        {{"--preset", "Male to female(Sweet)"}, 120, psola(1.6, 120), 0.02},
        {{"--preset", "Male to female(General)"}, 120, std::pow(2.0, 9 / 12.0), 0.01},
        {{"--preset", "Male to girl(Sweet)"}, 120, psola(2.0, 120), 0.02},
        {{"--preset", "32783"}, 120, std::pow(2.0, 11 / 12.0), 0.01},
        {{"--preset", "Hide me(Male)"}, 120, std::pow(2.0, -4 / 12.0), 0.01},
        {{"--preset", "female to male"}, 220, std::pow(2.0, -7 / 12.0), 0.01},
        {{"--preset", "Female to boy"}, 220, std::pow(2.0, -4 / 12.0), 0.01},
        {{"--preset", "Hide me(Female)"}, 220, std::pow(2.0, 4 / 12.0), 0.01},
        {{"--semitones", "12"}, 150, 2.0, 0.01},
        {{"--pitch", "150", "--timbre", "120"}, 150, psola(1.5, 150), 0.02},
        {{"--preset", "Mickey"}, 300, 1.4, 0.01, true},
        {{"--preset", "Donald"}, 300, 1.99, 0.01, true},
        {{"--cartoon", "1.5"}, 300, 1.5, 0.01, true},
    };
    std::map<double, std::string> inputs;
    for (const Case& c : cases) {
        const std::string call = ::testing::PrintToString(c.options);
        std::string& input = inputs[c.f0];
        if (input.empty()) {
            const std::string name = "v" + std::to_string(static_cast<int>(c.f0)) + ".wav";
            input = c.tone ? toneFile(c.f0) : voiceFile(c.f0, 2.0, name);
        }
        std::vector<std::string> argv = {"process", "--quiet"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.insert(argv.end(), {input, out});
        const CommandResult r = run(argv);
        ASSERT_EQ(r.status, 0) << call << ": " << r.output;
        const double expected = c.f0 * c.factor;
        EXPECT_NEAR(c.tone ? toneOf(out) : pitchOf(out), expected, expected * c.tolerance) << call;
    }
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

TEST_F(CliTest, EffectsOffGivesTheInputBackByteForByteAndOtherFormatsAreConverted) {
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

    // Other rates and channels in, MP3 out.
    const std::string mono = voiceFile(140, 1.5, "mono44.wav", 44100, 1);
    ASSERT_EQ(run({"process", "--quiet", "--preset", "32782", mono, out}).status, 0);
    EXPECT_NEAR(pitchOf(out), 140 * std::pow(2.0, 0.75), 140 * std::pow(2.0, 0.75) * 0.01);
    const std::string mp3 = dir.file("Out.MP3");
    const CommandResult encoded = run({"process", "--quiet", mono, mp3});
    ASSERT_EQ(encoded.status, 0) << encoded.output;
    const std::vector<int16_t> decoded = decodeMp3WithSox(mp3, 2);
    ASSERT_GT(decoded.size(), 2 * 22050u);
    const std::vector<float> left = channelOf(decoded, 2, 0);
    EXPECT_NEAR(measurePitchMedian(slice(left, 0.3, 0.6), kRate), 140, 140 * 0.01);
}

// Exit 2 for a wrong command line (with the usage when it is not a bad value), 1 when the
// work fails; every error but a usage is one line naming the file, option or line.
TEST_F(CliTest, ErrorsExitWithOneClearLineAndLeaveNoOutput) {
    const std::string input = voiceFile(120, 0.5);
    writeFile(dir.file("empty.wav"), "");
    writeFile(dir.file("garbage.wav"), std::string(5000, 'x'));
    writeFile(dir.file("garbage.mp3"), junkBytes(100000, 3));
    writeFile(
        dir.file("header-only.wav"),
        std::string("RIFF\x24\0\0\0WAVEfmt "
                    "\x10\0\0\0\x01\0\x02\0\x22\x56\0\0\x88\x58\x01\0\x04\0\x10\0data\0\0\0\0",
                    44));
    // 1 Hz (and 500 Hz): refused at once, in bounded memory.
    std::string oneHz = readFile(dir.file("header-only.wav")).substr(0, 24) +
                        std::string("\x01\0\0\0\x04\0\0\0\x04\0\x10\0data\x28\0\0\0", 20) +
                        std::string(40, '\x10');
    writeFile(dir.file("1hz.wav"), oneHz);
    const std::string slow = soxFile("500hz.wav", "500", {"synth", "0.5", "sine", "100"});
    writeFile(dir.file("bad.cfg"), "# voices\ncartoon 1.5\n\npsola 1e38\n");
    writeFile(dir.file("big.cfg"), std::string((1 << 20) + 1, '#'));
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"process", dir.file("missing.wav"), out}, 1, "missing.wav: No such file"},
        {{"process", dir.file("empty.wav"), out}, 1, "empty.wav: is not audio"},
        {{"process", dir.file("garbage.wav"), out}, 1, "garbage.wav: is not audio"},
        {{"process", dir.file("garbage.mp3"), out}, 1, "garbage.mp3: is not audio"},
        {{"process", dir.file("header-only.wav"), out}, 1, "no audio"},
        {{"process", dir.file("1hz.wav"), out}, 1, "1hz.wav: has a sample rate of 1 Hz"},
        {{"process", slow, out}, 1, "500hz.wav: has a sample rate of 500 Hz"},
        {{"process", dir.path(), out}, 1, dir.path() + ": is a folder"},
        {{"process", "--preset", "Robot", input, out}, 2, "--preset: unknown preset"},
        {{"process", "--pitch", "400", input, out}, 2, "--pitch: 400 is out of range"},
        {{"process", "--level", "1.5", input, out}, 2, "out of range"},
        {{"process", "--level", "inf", input, out}, 2, "--level: \"inf\" is not a number"},
        {{"process", "--semitones", "2.5", input, out}, 2, "whole number"},
        {{"process", "--effects", "maybe", input, out}, 2, "--effects takes"},
        {{"process", "--echo", "0.5 0.5 0 0.3", input, out}, 2, "delay \"0\" ms must be positive"},
        {{"process", "--echo", "0.5 0.5 -5 0.3", input, out}, 2, "\"-5\" ms must be positive"},
        {{"process", "--echo", "0.5 inf 5 0.3", input, out}, 2, "gain-out \"inf\" must be"},
        {{"process", "--echo", "1 1 1 .1 2 .1 3 .1 4 .1 5 .1 6 .1 7 .1 8 .1", input, out},
         2,
         "at most 7 delay/decay pairs"},
        {{"process", "--background", dir.file("nothing.mp3"), input, out}, 1, "nothing.mp3"},
        {{"process", "--background", "/dev/zero", input, out}, 1, "/dev/zero: is not a regular"},
        {{"process", "--background", dir.path(), input, out}, 1, "is a folder"},
        {{"process", "--background", dir.file("garbage.mp3"), input, out},
         1,
         "garbage.mp3: holds no MP3 audio"},
        {{"process", "--config", dir.file("bad.cfg"), input, out},
         1,
         "bad.cfg:4: psola: the pitch factor \"1e38\" is outside"},
        {{"process", "--config", dir.file("big.cfg"), input, out}, 1, "big.cfg: is larger than 1"},
        {{"process", "--config", "/dev/zero", input, out}, 1, "/dev/zero: is not a regular file"},
        {{"process", "--config", dir.path(), input, out}, 1, "is a folder"},
        {{"process", input, dir.file("no/such/folder/out.wav")}, 1, "out.wav"},
        {{"process", input, dir.path()}, 1, "folder"},
        {{"process", input}, 2, "usage:"},
        {{"process", "--pitch"}, 2, "usage:"},
        {{"process", "--frobnicate", input, out}, 2, "unknown option"},
        {{"transmogrify"}, 2, "usage:"},
    };
    for (const Case& c : cases) {
        const std::string call = ::testing::PrintToString(c.arguments);
        const CommandResult result = run(c.arguments);
        EXPECT_EQ(result.status, c.status) << call << "\n" << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << call << "\n"
                                                                    << result.output;
        if (c.message != "usage:" && c.message != "unknown option") {
            EXPECT_EQ(lines(result.output).size(), 1u) << call << "\n" << result.output;
        }
        EXPECT_FALSE(fileExists(out)) << call;
    }
    // Nothing half-written is left beside the outputs either.
    EXPECT_FALSE(anyPartialIn(dir.path()));
    // The rule is written where a user looks.
    EXPECT_NE(run({"help"}).output.find("exit status: 0 done; 1 "), std::string::npos);
}

// An OUTPUT that exists must be a regular file or a link to one (whose target is written);
// devices and pipes are never replaced. A long name works: the temporary's name is short.
TEST_F(CliTest, OnlyRegularFilesAreWrittenAsOutput) {
    const std::string input = voiceFile(120, 0.5);
    const std::string fifo = dir.file("pipe.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string toDevice = dir.file("null.wav");
    ASSERT_EQ(::symlink("/dev/null", toDevice.c_str()), 0);
    // A device of our own where that is allowed: a fault must never hit the system's.
    std::vector<std::string> targets = {fifo, toDevice};
    const std::string device = dir.file("device.wav");
    if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) {
        targets.push_back(device);
    }
    for (const std::string& target : targets) {
        const CommandResult r = run({"process", "--quiet", input, target});
        EXPECT_EQ(r.status, 1) << target << ": " << r.output;
        EXPECT_NE(r.output.find("is not a regular file"), std::string::npos) << r.output;
    }
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::lstat(toDevice.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    if (targets.size() == 3) {
        ASSERT_EQ(::stat(device.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }

    const std::string real = dir.file("real.wav");
    writeFile(real, "old");
    const std::string link = dir.file("link.wav");
    ASSERT_EQ(::symlink("real.wav", link.c_str()), 0);
    ASSERT_EQ(run({"process", "--quiet", input, link}).status, 0);
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    EXPECT_TRUE(readWav(real).has_value()) << "its target holds the result";

    const std::string longName = dir.file(std::string(246, 'n') + ".wav"); // 250 characters
    const CommandResult r = run({"process", "--quiet", input, longName});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fileExists(longName));
    const CommandResult tooLong =
        run({"process", "--quiet", input, dir.file(std::string(256, 'n') + ".wav")});
    EXPECT_EQ(tooLong.status, 1);
    EXPECT_NE(tooLong.output.find("File name too long"), std::string::npos) << tooLong.output;
    EXPECT_FALSE(anyPartialIn(dir.path()));
}

// A signal removes the file being written and ends with 128 + its number; what a killed run
// (kill -9) left is removed by the next run into the same folder, but not a live one's.
TEST_F(CliTest, SignalsAndDeadRunsLeaveNothingBehind) {
    const std::string input = soxFile("long.flac", "22050", {"synth", "600", "sine", "150"});
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        ChildProcess child(
            {kCli, "process", "--quiet", "--preset", "Male to female(Sweet)", input, out});
        ASSERT_TRUE(eventually([&] { return anyPartialIn(dir.path()); }, std::chrono::seconds(20)));
        child.signal(sig);
        EXPECT_EQ(child.wait(std::chrono::seconds(5)), 128 + sig) << sig;
        EXPECT_FALSE(anyPartialIn(dir.path())) << sig;
        EXPECT_FALSE(fileExists(out));
    }
    {
        ChildProcess child({kCli, "process", "--quiet", input, out});
        ASSERT_TRUE(eventually([&] { return anyPartialIn(dir.path()); }, std::chrono::seconds(20)));
        child.signal(SIGKILL);
        child.wait(std::chrono::seconds(5));
    }
    ASSERT_TRUE(anyPartialIn(dir.path()));
    const std::string live = dir.file(".timbrelo-" + std::to_string(::getpid()) + "-0.partial.wav");
    writeFile(live, "a run that still goes on");
    const CommandResult r = run({"process", "--quiet", voiceFile(120, 0.3), dir.file("x.wav")});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fileExists(live));
    ::unlink(live.c_str());
    EXPECT_FALSE(anyPartialIn(dir.path()));
}

// An input that is a pipe is read as it comes; when its writer stalls, the run ends with an
// error instead of waiting for ever, and leaves no output.
TEST_F(CliTest, APipeIsReadAndAStalledOneEndsTheRun) {
    const std::string input = voiceFile(150, 1.0);
    const std::string fifo = dir.file("in.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ScopedEnv stall("TIMBRELO_STALL_SECONDS", "1");
    {
        std::thread writer([&] { writeFile(fifo, readFile(input)); });
        const CommandResult r = run({"process", "--quiet", "--effects", "off", fifo, out});
        writer.join();
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(readWav(out)->data, readWav(input)->data);
        ::unlink(out.c_str());
    }
    for (const size_t bytes : {size_t{0}, size_t{20000}}) {
        std::atomic<bool> done{false};
        std::thread writer([&] {
            const int fd = ::open(fifo.c_str(), O_WRONLY);
            const std::string head = readFile(input).substr(0, bytes);
            EXPECT_EQ(::write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
            while (!done) { // a writer that holds the pipe open and writes nothing
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            ::close(fd);
        });
        const auto started = std::chrono::steady_clock::now();
        const CommandResult r = run({"process", "--quiet", fifo, out});
        done = true;
        writer.join();
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("in.fifo: "), std::string::npos) << r.output;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_FALSE(fileExists(out));
    }
    // No writer at all: the opening itself gives up.
    const CommandResult none = run({"process", "--quiet", fifo, out});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.output.find("gave no audio for 1 s"), std::string::npos) << none.output;
    EXPECT_FALSE(anyPartialIn(dir.path()));
}

// The 4 GiB a WAV file can hold is checked before any work, not after it.
TEST_F(CliTest, AResultTooLongForAWavFileIsRefusedAtOnce) {
    // A FLAC file whose header promises 14 hours at 1 kHz (4.1 GiB at 22050 Hz stereo): its
    // STREAMINFO block alone, rate 1000, one channel, 16 bits, 50,000,000 samples.
    std::string info = std::string("\x10\x00\x10\x00", 4) + std::string(6, '\0');
    const uint64_t packed =
        uint64_t{1000} << 44 | uint64_t{0} << 41 | uint64_t{15} << 36 | uint64_t{50'000'000};
    for (int shift = 56; shift >= 0; shift -= 8) {
        info.push_back(static_cast<char>(packed >> shift));
    }
    info += std::string(16, '\0');
    const std::string input = dir.file("long.flac");
    writeFile(input, std::string("fLaC\x80\0\0\x22", 8) + info);
    const auto started = std::chrono::steady_clock::now();
    const CommandResult r = run({"process", input, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("out.wav: the result would be 4.11 GiB, more than a WAV file can hold"),
              std::string::npos)
        << r.output;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(anyPartialIn(dir.path()));
}

// A disk without room: refused up front when the length is known, named when it fills up
// on the way (a pipe's length is not known). Runs in a mount namespace of its own with a
// 200 kB disk; skipped where that can't be made.
TEST_F(CliTest, AFullDiskIsNamed) {
    const std::string input = voiceFile(150, 5.0);
    const std::string fifo = dir.file("in.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string disk = dir.file("disk");
    ::mkdir(disk.c_str(), 0700);
    const std::string script = "mount -t tmpfs -o size=200k none '" + disk + "' || exit 99; '" +
                               kCli + "' process -q '" + input + "' '" + disk +
                               "/out.wav'; echo \"status $?\"; (cat '" + input + "' > '" + fifo +
                               "' &); '" + kCli + "' process -q '" + fifo + "' '" + disk +
                               "/out.wav'; echo \"status $?\"; ls -A '" + disk + "'";
    const CommandResult r =
        runCommand({"unshare", "-m", "sh", "-c", script}, std::chrono::seconds(60), true);
    if (r.status != 0) {
        GTEST_SKIP() << "no private mount here: " << r.output;
    }
    EXPECT_EQ(
        lines(r.output),
        (std::vector<std::string>{
            "timbrelo-cli: " + disk +
                "/out.wav: the result needs about 0.5 MB but its "
                "disk has 0.2 MB free",
            "status 1", "timbrelo-cli: " + disk + "/out.wav: can't be written: its disk is full",
            "status 1"}))
        << r.output;
}

// A bad line in the user's own settings file is reported with its file and line and left out;
// the voice still comes out, changed by the good lines.
TEST_F(CliTest, BadLinesOfTheUsersSettingsAreReportedAndLeftOut) {
    ::mkdir((config.path() + "/Tonvari").c_str(), 0700);
    const std::string cfg = config.path() + "/Tonvari/cfg";
    writeFile(cfg, "OldPlayDefault Speakers\ncartoon nan\ncartoon 1.5\npsola -1\n");
    const CommandResult r = run({"process", "--quiet", "--preset", "Mickey", toneFile(300), out});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(lines(r.output),
              (std::vector<std::string>{
                  "timbrelo-cli: " + cfg +
                      ":2: cartoon: the factor \"nan\" is outside 0.25..4; "
                      "line left out",
                  "timbrelo-cli: " + cfg +
                      ":4: psola: the pitch factor \"-1\" is outside 0.25..4; line left out"}));
    EXPECT_NEAR(toneOf(out), 420, 420 * 0.01);
}

// pitch reads the file in pieces: a file eight times as long takes no more memory.
TEST_F(CliTest, PitchReadsInPieces) {
    // Freed memory held back by the address sanitizer would count as resident and grow with
    // the amount of work, not with what is kept.
    const char* asan = std::getenv("ASAN_OPTIONS");
    ScopedEnv noQuarantine("ASAN_OPTIONS",
                           std::string(asan ? asan : "") +
                               ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0");
    long peakKb[2] = {};
    for (const int seconds : {30, 240}) {
        const std::string file = soxFile(std::to_string(seconds) + ".flac", "22050",
                                         {"synth", std::to_string(seconds), "sine", "200"});
        // GNU time's %M: the program's peak resident memory in kB, after its own output.
        const CommandResult r = runCommand({"/usr/bin/time", "-f", "%M", kCli, "pitch", file},
                                           std::chrono::seconds(120), true);
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_EQ(r.output.substr(0, 9), "200.0 Hz\n") << r.output;
        peakKb[seconds > 30] = std::stol(r.output.substr(9));
    }
    // The whole file would take 210 s x 22050 x 4 bytes = 18.5 MB more.
    EXPECT_LT(peakKb[1] - peakKb[0], 6000) << peakKb[0] << " kB, then " << peakKb[1] << " kB";
}

} // namespace
