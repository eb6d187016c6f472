// Background music: the MP3 reader, and the effect that mixes music from a file under the voice.
// Kept in one file (over 500 lines): the reader, the converter and the effect are judged on
// the same generated music files through the same helpers.
#include "effects/background_effect.h"
#include "effects/effect_chain.h"
#include "effects/mp3_decoder.h"
#include "effects/music_file.h"
#include "platform/debug.h"
#include "support/audio_files.h"
#include "support/process.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace timbrelo;
using namespace timbrelo::test;
using namespace std::chrono_literals;

namespace {

// The MP3 reader on its own.
constexpr double kMp3Rate = 44100;

// A decoder on an open file, and everything it decodes.
struct Decoded {
    std::vector<int16_t> samples; // 16-bit output, interleaved
    std::vector<uint32_t> lengths;
    int channels = 0;
    uint32_t rate = 0;
    int32_t last = -1;
};

class FileDecoder {
  public:
    explicit FileDecoder(const std::string& path, bool gapless = false)
        : fd_(::open(path.c_str(), O_RDONLY)) {
        EXPECT_GE(fd_, 0) << path;
        decoder.setGapless(gapless);
        AudioSource source{AudioSource::kFile, fd_};
        uint32_t size = 0;
        decoder.open(&source, &size);
        EXPECT_EQ(size, Mp3Decoder::kBlockBytes);
        buffer_.resize(size);
        block.data = buffer_.data();
        block.capacity = size;
    }
    ~FileDecoder() {
        decoder.close();
        ::close(fd_);
    }

    // Decodes until a result other than 0, at most `limit` frames.
    Decoded all(int limit = 100000) {
        Decoded d;
        for (int i = 0; i < limit; ++i) {
            d.last = decoder.decode(&block);
            if (d.last != Mp3Decoder::kOk) {
                break;
            }
            d.lengths.push_back(block.length);
            d.channels = block.channels;
            d.rate = block.rate;
            const auto* s = reinterpret_cast<const int16_t*>(block.data);
            d.samples.insert(d.samples.end(), s, s + block.length / 2);
        }
        return d;
    }

    Mp3Decoder decoder;
    DecodedBlock block;

  private:
    int fd_;
    std::vector<uint8_t> buffer_;
};

class Mp3DecoderTest : public ::testing::Test {
  protected:
    TempDir dir;

    std::string tones(double left, double right, double seconds, const std::string& name,
                      double amplitude = 0.4) {
        const std::string path = dir.file(name);
        writeMp3(path, makeStereoTones(left, right, seconds, kMp3Rate, amplitude), kMp3Rate, 2);
        return path;
    }
};

TEST_F(Mp3DecoderTest, StereoToneDecodesToItsFrequencyAndLength) {
    const std::vector<int16_t> source = makeStereoTones(440, 440, 2.0, kMp3Rate);
    const std::string path = tones(440, 440, 2.0, "tone.mp3");

    FileDecoder plain(path);
    const Decoded d = plain.all();
    EXPECT_EQ(d.last, Mp3Decoder::kEndOfStream);
    EXPECT_EQ(d.channels, 2);
    EXPECT_EQ(d.rate, 44100u);
    for (uint32_t length : d.lengths) {
        ASSERT_EQ(length, 4608u); // 1152 samples x 2 channels x 2 bytes
    }
    EXPECT_NEAR(measureToneFrequency(slice(channelOf(d.samples, 2, 1), 0.2, 0.8), kMp3Rate), 440,
                0.5);
    // The encoder adds its delay, padding and an information frame: a few frames at most.
    EXPECT_NEAR(static_cast<double>(d.samples.size()), static_cast<double>(source.size()),
                2 * 4 * 1152);

    // Without the encoder's additions the stream is exactly the source, sample for sample.
    FileDecoder gapless(path, true);
    const Decoded g = gapless.all();
    EXPECT_EQ(g.last, Mp3Decoder::kEndOfStream);
    ASSERT_EQ(g.samples.size(), source.size());
    const std::vector<float> got = channelOf(g.samples, 2, 0);
    const std::vector<float> want = channelOf(source, 2, 0);
    const auto [lag, correlation] = bestCorrelation(want, got, 20);
    EXPECT_EQ(lag, 0);
    EXPECT_GT(correlation, 0.999);

    // A block too small for a frame loses that frame only.
    FileDecoder small(path);
    small.block.capacity = 4607;
    EXPECT_EQ(small.decoder.decode(&small.block), Mp3Decoder::kBlockTooSmall);
    small.block.capacity = 4608;
    EXPECT_EQ(small.decoder.decode(&small.block), Mp3Decoder::kOk);
    EXPECT_EQ(small.block.length, 4608u);
}

TEST_F(Mp3DecoderTest,
       CutGarbageEmptyAndUnreadableSourcesEndCleanlyAndJunkIsSearchedInBoundedSteps) {
    const std::string whole = tones(440, 440, 1.0, "whole.mp3");
    const std::string bytes = readFile(whole);
    const std::string cut = dir.file("cut.mp3");
    writeFile(cut, bytes.substr(0, bytes.size() / 2 + 200)); // a frame is about 418 bytes
    FileDecoder full(whole);
    const size_t fullFrames = full.all().lengths.size();
    FileDecoder f(cut);
    const Decoded d = f.all();
    EXPECT_EQ(d.last, Mp3Decoder::kEndOfStream);
    EXPECT_NEAR(static_cast<double>(d.lengths.size()), fullFrames / 2.0, 2);
    EXPECT_EQ(f.decoder.decode(&f.block), Mp3Decoder::kEndOfStream); // and stays ended

    writeFile(dir.file("garbage.mp3"), junkBytes(300000, 12345));
    writeFile(dir.file("empty.mp3"), "");
    FileDecoder g(dir.file("garbage.mp3"));
    EXPECT_EQ(g.all(2000).last, Mp3Decoder::kEndOfStream);
    FileDecoder e(dir.file("empty.mp3"));
    EXPECT_EQ(e.all().last, Mp3Decoder::kEndOfStream);

    // Reading a folder fails, and so does every source that is not a file.
    FileDecoder folder(dir.path());
    EXPECT_EQ(folder.decoder.decode(&folder.block), Mp3Decoder::kReadError);
    EXPECT_EQ(folder.decoder.decode(&folder.block), Mp3Decoder::kReadError);
    AudioSource internet{AudioSource::kInternet, 0};
    folder.decoder.open(&internet, nullptr);
    EXPECT_EQ(folder.decoder.decode(&folder.block), Mp3Decoder::kReadError);

    Mp3Decoder unopened;
    EXPECT_EQ(unopened.decode(&folder.block), Mp3Decoder::kEndOfStream);

    // A decode call gives up its search after a bounded number of bytes, so its caller can stop
    // on a stream of junk (the music reader must see a stop, a new file or the end promptly).
    const std::string tail = tones(440, 440, 0.5, "tail.mp3");
    writeFile(tail, readFile(tail) + std::string(3 * Mp3Decoder::kScanBytes, '\0'));
    FileDecoder junk(tail);
    const Decoded j = junk.all();
    EXPECT_GT(j.lengths.size(), 10u);
    ASSERT_EQ(j.last, Mp3Decoder::kNoFrame);
    int searches = 1;
    int32_t rc = 0;
    while ((rc = junk.decoder.decode(&junk.block)) == Mp3Decoder::kNoFrame) {
        ++searches;
    }
    EXPECT_EQ(rc, Mp3Decoder::kEndOfStream);
    EXPECT_GE(searches, 2);
    EXPECT_LE(searches, 3);
}

TEST_F(Mp3DecoderTest, ChannelModesChooseSwapAndMixTheChannels) {
    const std::string path = tones(440, 660, 1.0, "two.mp3");
    const auto frequencies = [&](int32_t mode) {
        FileDecoder f(path);
        EXPECT_TRUE(f.decoder.setChannelMode(mode));
        const Decoded d = f.all();
        std::vector<double> hz;
        for (int c = 0; c < d.channels; ++c) {
            hz.push_back(measureToneFrequency(slice(channelOf(d.samples, d.channels, c), 0.2, 0.8),
                                              kMp3Rate));
        }
        return hz;
    };
    const auto near = [](std::vector<double> got, std::vector<double> want) {
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_NEAR(got[i], want[i], 1.0) << "channel " << i;
        }
    };
    near(frequencies(Mp3Decoder::kKeep), {440, 660});
    near(frequencies(Mp3Decoder::kSwap), {660, 440});
    near(frequencies(Mp3Decoder::kLeftOnly), {440});
    near(frequencies(Mp3Decoder::kRightOnly), {660});

    FileDecoder mixed(path);
    mixed.decoder.setChannelMode(Mp3Decoder::kMonoMix);
    const Decoded d = mixed.all();
    ASSERT_EQ(d.channels, 1);
    const std::vector<float> mono = slice(channelOf(d.samples, 1, 0), 0.2, 0.8);
    EXPECT_NEAR(toneLevelDb(mono, kMp3Rate, 440), -3.0, 1.0);
    EXPECT_NEAR(toneLevelDb(mono, kMp3Rate, 660), -3.0, 1.0);
    EXPECT_FALSE(mixed.decoder.setChannelMode(5));
}

TEST_F(Mp3DecoderTest, EqualiserGainsAndTheirEffect) {
    Mp3Decoder decoder;
    std::vector<int8_t> bands(10, 31);
    decoder.setEqualizer(1, 31, bands.data());
    for (int sb = 0; sb < Mp3Decoder::kSubbands; ++sb) {
        EXPECT_EQ(decoder.bandGain(sb), 1 << 28);
    }
    std::fill(bands.begin(), bands.end(), 0);
    decoder.setEqualizer(1, 0, bands.data()); // +40 dB asked, +18 dB given
    EXPECT_NEAR(decoder.bandGain(0) / double(1 << 28), std::pow(10.0, 18.0 / 20), 1e-6);
    EXPECT_EQ(decoder.bandGain(31), decoder.bandGain(0));

    // A preamp at 41 lowers everything by 20 - 41 * 40 / 63 = -6.03 dB.
    const std::string path = tones(440, 440, 1.0, "quiet.mp3", 0.2);
    FileDecoder plain(path);
    FileDecoder lowered(path);
    std::fill(bands.begin(), bands.end(), 31);
    lowered.decoder.setEqualizer(1, 41, bands.data());
    const double before = rms(slice(channelOf(plain.all().samples, 2, 0), 0.2, 0.8));
    const double after = rms(slice(channelOf(lowered.all().samples, 2, 0), 0.2, 0.8));
    EXPECT_NEAR(20 * std::log10(after / before), -6.03, 0.1);
}

TEST_F(Mp3DecoderTest, EveryBitDepthWritesTheSameMusic) {
    const std::string path = tones(440, 440, 0.5, "depth.mp3");
    FileDecoder reference(path);
    const Decoded d16 = reference.all();
    for (int bits : {8, 24, 32}) {
        FileDecoder f(path);
        ASSERT_TRUE(f.decoder.setBits(bits));
        const int bytes = bits / 8;
        std::vector<float> error;
        while (f.decoder.decode(&f.block) == Mp3Decoder::kOk) {
            ASSERT_EQ(f.block.length, 1152u * 2 * bytes);
            ASSERT_EQ(f.block.bits, bits);
            for (uint32_t i = 0; i < f.block.length; i += bytes) {
                const uint8_t* p = f.block.data + i;
                int32_t v = 0; // scaled to 32 bits
                if (bits == 8) {
                    v = int32_t(uint32_t(p[0] ^ 0x80) << 24);
                } else {
                    for (int b = 0; b < bytes; ++b) {
                        v |= int32_t(uint32_t{p[b]} << (8 * (4 - bytes + b)));
                    }
                }
                if (bits == 32) {
                    ASSERT_EQ(p[0], 0); // a 24-bit value in the high bytes
                }
                ASSERT_LT(error.size(), d16.samples.size());
                error.push_back(float(v / 65536.0 - d16.samples[error.size()]));
            }
        }
        ASSERT_EQ(error.size(), d16.samples.size());
        // Only the dither differs: within a few steps of the coarser of the two depths.
        EXPECT_LT(rms(error), bits == 8 ? 2 * 256 : 2) << bits << " bits";
    }
    Mp3Decoder decoder;
    EXPECT_FALSE(decoder.setBits(12));
    EXPECT_EQ(decoder.bits(), 16);
}

TEST(DecoderList, ResetEmptiesTheListButNotItsUsersHands) {
    DecoderList::reset();
    std::shared_ptr<Mp3Decoder> a = DecoderList::create();
    std::shared_ptr<Mp3Decoder> b = DecoderList::create();
    EXPECT_EQ(DecoderList::size(), 2u);
    EXPECT_EQ(DecoderList::first(), a);
    std::weak_ptr<Mp3Decoder> gone = b;
    DecoderList::reset();
    EXPECT_EQ(DecoderList::size(), 0u);
    EXPECT_EQ(DecoderList::first(), nullptr);
    b.reset();
    EXPECT_TRUE(gone.expired());
    EXPECT_EQ(a.use_count(), 1); // still usable by its holder
    {
        BackgroundEffect effect; // takes one, and gives it back when it goes
        EXPECT_EQ(DecoderList::size(), 1u);
    }
    EXPECT_EQ(DecoderList::size(), 0u);
}

// The background effect: music from a file mixed under the voice.
constexpr uint32_t kBlock = 512;

class BackgroundEffectTest : public ::testing::Test {
  protected:
    TempDir dir;
    TempDir config;
    ScopedEnv xdg{"XDG_CONFIG_HOME", config.path()};
    ScopedEnv tmp{"TMPDIR", dir.path()}; // where a debugging copy would go
    BackgroundEffect effect;

    void SetUp() override { effect.setInputFormat(22050, 16, 2); }

    std::string wav(const std::string& name, const std::vector<int16_t>& samples,
                    uint32_t rate = 22050, uint16_t channels = 2) {
        writeWav(dir.file(name), samples, rate, channels);
        return dir.file(name);
    }
    std::string constantWav(const std::string& name, int16_t value, size_t frames = 4000) {
        return wav(name, std::vector<int16_t>(2 * frames, value));
    }

    // Runs `frames` frames of a constant voice through the effect in blocks; with `waitForMusic`
    // each block waits until the reader has music ready for it.
    std::vector<int16_t> play(size_t frames, int16_t voice = 0, bool waitForMusic = true) {
        const std::vector<int16_t> in(2 * kBlock, voice);
        std::vector<int16_t> out;
        for (size_t done = 0; done < frames; done += kBlock) {
            if (waitForMusic && !musicReady(kBlock)) {
                ADD_FAILURE() << "no music after " << done << " frames";
                return out;
            }
            const bool produced = effect.process(in.data(), kBlock) == 0;
            const int16_t* result = produced ? effect.outBuffer() : in.data();
            out.insert(out.end(), result, result + 2 * kBlock);
        }
        return out;
    }

    bool musicReady(uint32_t frames) {
        return eventually([&] { return effect.bufferedFrames() >= frames; }, 10s);
    }
};

std::vector<int16_t> distinct(const std::vector<int16_t>& out, int16_t except = 0x7FFF) {
    std::vector<int16_t> values;
    for (int16_t v : out) {
        if (v != except && std::find(values.begin(), values.end(), v) == values.end()) {
            values.push_back(v);
        }
    }
    return values;
}

TEST_F(BackgroundEffectTest, CrossfadesVoiceAndMusicAtTheLevelAndALevelOfZeroAtOpenKeepsItOff) {
    const std::string music = constantWav("constant.WAV", -5000); // capitals: still WAV
    ASSERT_EQ(effect.openFile(music.c_str()), 1);
    EXPECT_TRUE(effect.enabled());
    // 10000 x 0.6 - 5000 x 0.4 with the level 0.4 as a float, a hair above 0.4, truncated.
    EXPECT_EQ(distinct(play(2048, 10000)), std::vector<int16_t>{3999});

    effect.setParameter(0.5f, 0);
    effect.setParameter(0.9f, Effect::kOn); // -2 is not a level
    effect.setParameter(std::numeric_limits<float>::quiet_NaN(), 0);
    EXPECT_EQ(effect.level(), 0.5f);
    EXPECT_EQ(distinct(play(2048, 10000)), std::vector<int16_t>{2500});

    effect.setParameter(3.0f, 0); // far beyond full scale: held at the limit, not wrapped
    EXPECT_EQ(distinct(play(1024, 10000)), std::vector<int16_t>{-32768});

    effect.setParameter(0.0f, 0);
    EXPECT_EQ(effect.openFile(music.c_str()), 1);
    EXPECT_FALSE(effect.enabled());
    const std::vector<int16_t> voice(2 * kBlock, 1234);
    EXPECT_NE(effect.process(voice.data(), kBlock), 0);
    effect.setParameter(0.5f, 0); // the level does not switch it on
    EXPECT_FALSE(effect.enabled());

    ASSERT_EQ(effect.openFile(music.c_str()), 1);
    EXPECT_TRUE(effect.enabled());
    effect.setParameter(0.0f, 0);
    EXPECT_EQ(distinct(play(1024, 1234)), std::vector<int16_t>{1234}); // on, voice at full scale
}

TEST_F(BackgroundEffectTest, AWavFileLoopsOverItsSamplesAndNothingElse) {
    std::vector<int16_t> samples(2 * 1000);
    for (int i = 0; i < 1000; ++i) {
        samples[2 * i] = static_cast<int16_t>(i * 7 - 3500);
        samples[2 * i + 1] = static_cast<int16_t>(i * -5 + 11);
    }
    const std::string path = wav("loop.wav", samples);
    writeFile(path, readFile(path) + std::string("LIST\4\0\0\0abcd", 12)); // a chunk behind
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    const std::vector<int16_t> out = play(6000);
    for (size_t f = 0; f < out.size() / 2; ++f) {
        ASSERT_EQ(out[2 * f], samples[2 * (f % 1000)]) << "frame " << f;
        ASSERT_EQ(out[2 * f + 1], samples[2 * (f % 1000) + 1]) << "frame " << f;
    }
}

// Music that can't play is refused before anything changes, with the reason: the music
// that was playing goes on.
TEST_F(BackgroundEffectTest, MusicThatCannotPlayIsRefusedAndChangesNothing) {
    const std::string music = constantWav("music.wav", 8000);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(music.c_str()), 1);

    auto wavWith = [&](const std::string& name, uint32_t rate, uint16_t bits, size_t bytes) {
        std::string header = readFile(constantWav(name, 1000, 10)).substr(0, 44);
        std::memcpy(header.data() + 24, &rate, 4);
        std::memcpy(header.data() + 34, &bits, 2);
        const auto size = static_cast<uint32_t>(bytes);
        std::memcpy(header.data() + 40, &size, 4);
        writeFile(dir.file(name), header + std::string(bytes, '\x10'));
        return dir.file(name);
    };
    writeFile(dir.file("noise.wav"), "RIFF....WAVEjunk");
    writeFile(dir.file("garbage.mp3"), junkBytes(200000, 7));
    // An ID3 tag and nothing else.
    writeFile(dir.file("tag-only.mp3"),
              std::string("ID3\x03\0\0\0\0\x10\0", 10) + std::string(2048, '\0'));
    const std::string fifo = dir.file("pipe.mp3");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("missing.wav"), "No such file or directory"},
        {dir.path(), "is a folder"},
        {"/dev/zero", "is not a regular file"},
        {fifo, "is not a regular file"},
        {dir.file("noise.wav"), "no \"fmt \" chunk"},
        {wavWith("narrow.wav", 22050, 8, 400), "not a 16-bit PCM WAV file"},
        {wavWith("rate0.wav", 0, 16, 400), "sample rate of 0 Hz"},
        {wavWith("rate1.wav", 1, 16, 400), "sample rate of 1 Hz"},
        {wavWith("rate4g.wav", 4000000000u, 16, 400), "sample rate of 4000000000 Hz"},
        {wavWith("header-only.wav", 22050, 16, 0), "holds no samples"},
        {dir.file("garbage.mp3"), "holds no MP3 audio"},
        {dir.file("tag-only.mp3"), "holds no MP3 audio"},
    };
    for (const auto& [path, why] : cases) {
        DebugCapture debug;
        MusicFile file;
        std::string reason;
        EXPECT_FALSE(openMusicFile(path, file, reason)) << path;
        EXPECT_NE(reason.find(why), std::string::npos) << path << ": " << reason;
        EXPECT_EQ(effect.openFile(path.c_str()), 0) << path;
        EXPECT_TRUE(debug.contains(path)) << debug.text();
    }
    EXPECT_EQ(effect.openFile(dir.file("absent.mp3").c_str()), 0);
    EXPECT_EQ(effect.openFile(nullptr), 0);
    EXPECT_TRUE(effect.enabled());
    EXPECT_EQ(distinct(play(2048)), std::vector<int16_t>{8000});
}

TEST_F(BackgroundEffectTest, FileNamesChooseTheReader) {
    EXPECT_FALSE(BackgroundEffect::isMp3Name("/x/Song.WAV"));
    EXPECT_FALSE(BackgroundEffect::isMp3Name("song.wav"));
    EXPECT_TRUE(BackgroundEffect::isMp3Name("song.mp3"));
    EXPECT_TRUE(BackgroundEffect::isMp3Name("song.wave"));
    EXPECT_TRUE(BackgroundEffect::isMp3Name("wav"));
}

TEST_F(BackgroundEffectTest, AnMp3IsHeardAtTheChainRateThroughItsLeftAndLoopsWithoutAGapOrABurst) {
    const std::string path = dir.file("two.mp3");
    writeMp3(path, makeStereoTones(440, 660, 2.0, 44100), 44100, 2);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    const std::vector<int16_t> out = play(22050);
    for (int c = 0; c < 2; ++c) {
        EXPECT_NEAR(measureToneFrequency(slice(channelOf(out, 2, c), 0.1, 0.9), 22050), 440, 0.5)
            << "channel " << c;
    }

    // 220 whole periods: the loop point continues the tone in phase.
    const std::string loop = dir.file("loop.mp3");
    writeMp3(loop, makeTone(440, 0.5, 44100, 2, 0.4), 44100, 2);
    ASSERT_EQ(effect.openFile(loop.c_str()), 1);
    const std::vector<float> left = channelOf(play(4 * 11025), 2, 0);
    // Level in every 10 ms window, and the largest second difference (a click's signature;
    // the tone alone has 0.4 x 32767 x (2 pi 440 / 22050)^2 = 206).
    double quietest = 1e9, loudest = 0, sharpest = 0;
    for (size_t at = 2205; at + 220 <= left.size(); at += 110) {
        const double level = rms(std::span<const float>(left).subspan(at, 220));
        quietest = std::min(quietest, level);
        loudest = std::max(loudest, level);
    }
    for (size_t i = 2205; i < left.size(); ++i) {
        sharpest = std::max(sharpest, double(std::fabs(left[i] - 2 * left[i - 1] + left[i - 2])));
    }
    EXPECT_GT(20 * std::log10(quietest / loudest), -1.0);
    EXPECT_LT(sharpest, 300);
}

TEST_F(BackgroundEffectTest, ANewFileNeverPlaysTheOldOneAndStopSilences) {
    const std::string first = constantWav("first.wav", 8000);
    const std::string second = constantWav("second.wav", -8000);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(first.c_str()), 1);
    EXPECT_EQ(distinct(play(1024)), std::vector<int16_t>{8000});
    ASSERT_EQ(effect.openFile(second.c_str()), 1);
    // Until the new music is ready the music is silent, never the old file.
    const std::vector<int16_t> early = play(1024, 0, false);
    EXPECT_EQ(std::count(early.begin(), early.end(), 8000), 0);
    EXPECT_EQ(distinct(play(2048)), std::vector<int16_t>{-8000});

    effect.stop();
    EXPECT_FALSE(effect.enabled());
    const std::vector<int16_t> voice(2 * kBlock, 77);
    EXPECT_NE(effect.process(voice.data(), kBlock), 0);
    ASSERT_EQ(effect.openFile(first.c_str()), 1);
    const std::vector<int16_t> again = play(2048);
    EXPECT_EQ(std::count(again.begin(), again.end(), -8000), 0);
    EXPECT_EQ(distinct(again), std::vector<int16_t>{8000});
}

// A file that fails after it was checked (cut short, filled with junk) ends in silence, says
// so, and never holds up a stop or a new file.
TEST_F(BackgroundEffectTest, MusicThatFailsLaterEndsInSilenceAndSaysSo) {
    DebugCapture debug;
    const std::string wavPath = constantWav("shrinks.wav", 3000);
    ASSERT_EQ(effect.openFile(wavPath.c_str()), 1);
    ASSERT_EQ(::truncate(wavPath.c_str(), 44), 0);
    // The voice keeps flowing, as capture would: a reader that filled its ring before the cut
    // reaches it only once that music is used.
    EXPECT_TRUE(eventually([&] {
        play(kBlock, 10000, false);
        return debug.contains("can't be read; playing silence.\n");
    })) << debug.text();
    const std::vector<int16_t> tail = play(1024, 10000, false);
    EXPECT_EQ(distinct({tail.end() - 512, tail.end()}), std::vector<int16_t>{5999});

    // An MP3 whose music is followed by 40 MiB of junk: the reader gives up in bounded steps
    // and a stop reaches it at once.
    const std::string mp3 = dir.file("junk-tail.mp3");
    writeMp3(mp3, makeTone(440, 0.2, 44100, 2), 44100, 2);
    ASSERT_EQ(effect.openFile(mp3.c_str()), 1);
    {
        const int fd = ::open(mp3.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 40 << 20), 0);
        ::close(fd);
    }
    EXPECT_TRUE(eventually([&] { return debug.contains("MiB; playing silence.\n"); }, 20s))
        << debug.text();
    const std::string again = constantWav("again.wav", -3000);
    ASSERT_EQ(effect.openFile(mp3.c_str()), 1);
    const auto asked = std::chrono::steady_clock::now();
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(again.c_str()), 1);
    EXPECT_EQ(distinct(play(2048)), std::vector<int16_t>{-3000});
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
}

TEST_F(BackgroundEffectTest, TheDecodedCopyIsWrittenOnlyWhileDebugging) {
    const std::string path = dir.file("tone.mp3");
    writeMp3(path, makeTone(440, 0.5, 44100, 2), 44100, 2);
    const std::string fallback = dir.file("Decoder.wav");
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    play(2048);
    EXPECT_FALSE(fileExists(fallback));

    TempDir chosen;
    ::mkdir((config.path() + "/Tonvari").c_str(), 0700);
    writeFile(config.path() + "/Tonvari/cfg", "tempDir " + chosen.path() + "\n");
    DebugCapture debug;
    ASSERT_EQ(effect.openFile(path.c_str()), 1);
    play(4096);
    const std::optional<WavContents> copy = readWav(chosen.file("Decoder.wav"));
    ASSERT_TRUE(copy.has_value());
    // It describes what it holds: the converted music.
    EXPECT_EQ(copy->format.tag, 1);
    EXPECT_EQ(copy->format.channels, 2);
    EXPECT_EQ(copy->format.rate, 22050u);
    EXPECT_EQ(copy->format.bits, 16);
    EXPECT_GE(copy->data.size(), 4096u * 4);
    EXPECT_EQ(copy->data.size() % 4, 0u);
    EXPECT_FALSE(fileExists(fallback));
}

TEST_F(BackgroundEffectTest, AMonoChainHearsTheLeftChannel) {
    std::vector<int16_t> samples(2 * 2000);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = i % 2 == 0 ? 1000 : -1000;
    }
    effect.setInputFormat(22050, 16, 1);
    effect.setParameter(1.0f, 0);
    ASSERT_EQ(effect.openFile(wav("lr.wav", samples).c_str()), 1);
    ASSERT_TRUE(musicReady(1000));
    const std::vector<int16_t> voice(1000, 0);
    ASSERT_EQ(effect.process(voice.data(), 1000), 0);
    EXPECT_EQ(effect.outFrames(), 1000u);
    EXPECT_EQ(distinct({effect.outBuffer(), effect.outBuffer() + 1000}),
              std::vector<int16_t>{1000});
}

TEST(BackgroundInChain, TheDefaultChainPlaysMusicInSlotThree) {
    TempDir dir;
    writeWav(dir.file("m.wav"), std::vector<int16_t>(8000, 4000), 22050, 2);
    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::text(""));
    chain.setFormat(2, 22050, 16);
    chain.load();
    auto* background = dynamic_cast<BackgroundEffect*>(chain.slot(EffectChain::kBackgroundSlot));
    ASSERT_NE(background, nullptr);
    chain.setBackgroundLevel(1.0f);
    ASSERT_EQ(chain.openBackground(dir.file("m.wav").c_str()), 1);
    ASSERT_TRUE(eventually([&] { return background->bufferedFrames() >= 256; }));
    const std::vector<int16_t> voice(512, 0);
    uint32_t frames = 0;
    const int16_t* out = chain.run(voice.data(), 256, &frames);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(frames, 256u);
    EXPECT_EQ(out[100], 4000);
    chain.stopBackground();
    EXPECT_EQ(chain.run(voice.data(), 256, &frames), nullptr);
}

} // namespace
