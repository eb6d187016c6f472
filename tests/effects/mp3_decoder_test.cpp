#include "effects/background_effect.h"
#include "effects/mp3_decoder.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

constexpr double kRate = 44100;

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
        writeMp3(path, makeStereoTones(left, right, seconds, kRate, amplitude), kRate, 2);
        return path;
    }
};

TEST_F(Mp3DecoderTest, StereoToneDecodesToItsFrequencyAndLength) {
    const std::vector<int16_t> source = makeStereoTones(440, 440, 2.0, kRate);
    const std::string path = tones(440, 440, 2.0, "tone.mp3");

    FileDecoder plain(path);
    const Decoded d = plain.all();
    EXPECT_EQ(d.last, Mp3Decoder::kEndOfStream);
    EXPECT_EQ(d.channels, 2);
    EXPECT_EQ(d.rate, 44100u);
    for (uint32_t length : d.lengths) {
        ASSERT_EQ(length, 4608u); // 1152 samples x 2 channels x 2 bytes
    }
    EXPECT_NEAR(measureToneFrequency(slice(channelOf(d.samples, 2, 1), 0.2, 0.8), kRate), 440, 0.5);
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

TEST_F(Mp3DecoderTest, AFileCutInAFrameEndsWhenItsBytesAreUsedUp) {
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
}

TEST_F(Mp3DecoderTest, GarbageEmptyAndUnreadableSourcesEndCleanly) {
    std::string garbage(300000, '\0');
    uint32_t r = 12345;
    for (char& c : garbage) {
        r = r * 1103515245u + 12345u;
        c = static_cast<char>(r >> 23);
    }
    writeFile(dir.file("garbage.mp3"), garbage);
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
}

TEST_F(Mp3DecoderTest, ChannelModesChooseSwapAndMixTheChannels) {
    const std::string path = tones(440, 660, 1.0, "two.mp3");
    const auto frequencies = [&](int32_t mode) {
        FileDecoder f(path);
        EXPECT_TRUE(f.decoder.setChannelMode(mode));
        const Decoded d = f.all();
        std::vector<double> hz;
        for (int c = 0; c < d.channels; ++c) {
            hz.push_back(
                measureToneFrequency(slice(channelOf(d.samples, d.channels, c), 0.2, 0.8), kRate));
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
    EXPECT_NEAR(toneLevelDb(mono, kRate, 440), -3.0, 1.0);
    EXPECT_NEAR(toneLevelDb(mono, kRate, 660), -3.0, 1.0);
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

} // namespace
