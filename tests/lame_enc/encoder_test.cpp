#include "lame_enc/lame_enc.h"
#include "support/audio_files.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

using namespace timbrelo::test;

namespace {

BE_CONFIG recordingConfig(uint32_t rate, int32_t mode) {
    BE_CONFIG c;
    std::memset(&c, 0, sizeof c);
    c.dwConfig = BE_CONFIG_LAME;
    c.format.LHV1.dwStructVersion = 1;
    c.format.LHV1.dwStructSize = sizeof c;
    c.format.LHV1.dwSampleRate = rate;
    c.format.LHV1.nMode = mode;
    c.format.LHV1.dwBitrate = 128;
    c.format.LHV1.nPreset = LQP_STANDARD;
    c.format.LHV1.dwMpegVersion = MPEG1;
    c.format.LHV1.bOriginal = 1;
    c.format.LHV1.bWriteVBRHeader = 1;
    c.format.LHV1.bNoRes = 1;
    return c;
}

struct Opened {
    BE_ERR rc;
    HBE_STREAM stream = 0;
    uint32_t samples = 0;
    uint32_t bufferSize = 0;
};

Opened open(const BE_CONFIG& config) {
    Opened o;
    o.rc = beInitStream(&config, &o.samples, &o.bufferSize, &o.stream);
    return o;
}

// Encodes stereo 22050 Hz samples chunk by chunk into a file, then flushes and closes.
void encodeToFile(const Opened& o, const std::vector<int16_t>& pcm, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> out(o.bufferSize);
    uint32_t bytes = 0;
    for (size_t at = 0; at < pcm.size(); at += o.samples) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(o.samples, pcm.size() - at));
        ASSERT_EQ(beEncodeChunk(o.stream, n, pcm.data() + at, out.data(), &bytes), 0u);
        std::fwrite(out.data(), 1, bytes, f);
    }
    ASSERT_EQ(beDeinitStream(o.stream, out.data(), &bytes), 0u);
    std::fwrite(out.data(), 1, bytes, f);
    std::fclose(f);
    ASSERT_EQ(beCloseStream(o.stream), 0u);
}

TEST(EncoderLibrary, RecordsHaveThePublishedByteLayout) {
    EXPECT_EQ(offsetof(BE_CONFIG, format), 4u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.dwSampleRate), 12u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.nMode), 20u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.dwBitrate), 24u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.nPreset), 32u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.bOriginal), 60u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.bWriteVBRHeader), 64u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.bNoRes), 84u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.nQuality), 92u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.LHV1.btReserved), 94u);
    EXPECT_EQ(offsetof(BE_CONFIG, format.mp3.wBitrate), 9u);
    EXPECT_EQ(offsetof(BE_VERSION, zHomepage), 8u);
    EXPECT_EQ(offsetof(BE_VERSION, btReserved), 140u);

    BE_VERSION v;
    beVersion(&v);
    EXPECT_EQ(v.byDLLMajorVersion, 1);
    EXPECT_EQ(v.byMajorVersion, 3); // the engine's major version
    EXPECT_GE(v.wYear, 2026);
}

TEST(EncoderLibrary, StreamsReportTheirSizesAndConfigurationsItCannotHonourAreRefused) {
    struct Case {
        uint32_t rate;
        int32_t mode;
        uint32_t samples;
    };
    for (const Case& c :
         {Case{22050, BE_MP3_MODE_JSTEREO, 1152}, Case{22050, BE_MP3_MODE_MONO, 576},
          Case{44100, BE_MP3_MODE_STEREO, 2304}, Case{8000, BE_MP3_MODE_MONO, 576}}) {
        BE_CONFIG config = recordingConfig(c.rate, c.mode);
        if (c.rate == 8000) {
            config.format.LHV1.dwBitrate = 32;
        }
        const Opened o = open(config);
        ASSERT_EQ(o.rc, 0u) << c.rate;
        EXPECT_EQ(o.samples, c.samples) << c.rate;
        EXPECT_GE(o.bufferSize, 7200u);
        EXPECT_EQ(beCloseStream(o.stream), 0u);
    }

    uint32_t samples = 0;
    uint32_t size = 0;
    HBE_STREAM stream = 0;
    EXPECT_EQ(beInitStream(nullptr, &samples, &size, &stream), BE_ERR_INVALID_FORMAT_PARAMETERS);

    BE_CONFIG kind = recordingConfig(22050, BE_MP3_MODE_JSTEREO);
    kind.dwConfig = 5;
    EXPECT_EQ(open(kind).rc, BE_ERR_INVALID_FORMAT);

    using Change = void (*)(BE_CONFIG_LHV1&);
    for (Change change : {Change{[](BE_CONFIG_LHV1& c) { c.dwStructVersion = 0; }},
                          Change{[](BE_CONFIG_LHV1& c) { c.dwStructSize = 100; }},
                          Change{[](BE_CONFIG_LHV1& c) { c.nMode = 7; }},
                          Change{[](BE_CONFIG_LHV1& c) { c.dwSampleRate = 0; }},
                          Change{[](BE_CONFIG_LHV1& c) { c.dwBitrate = 0; }},
                          Change{[](BE_CONFIG_LHV1& c) { c.bCRC = 2; }}}) {
        BE_CONFIG c = recordingConfig(22050, BE_MP3_MODE_JSTEREO);
        change(c.format.LHV1);
        EXPECT_EQ(open(c).rc, BE_ERR_INVALID_FORMAT_PARAMETERS);
    }

    BE_CONFIG basic;
    std::memset(&basic, 0, sizeof basic);
    basic.dwConfig = BE_CONFIG_MP3;
    basic.format.mp3.dwSampleRate = 22050; // the basic layout is for MPEG-1 rates only
    basic.format.mp3.wBitrate = 128;
    EXPECT_EQ(open(basic).rc, BE_ERR_INVALID_FORMAT_PARAMETERS);
    basic.format.mp3.dwSampleRate = 44100;
    const Opened o = open(basic);
    ASSERT_EQ(o.rc, 0u);
    EXPECT_EQ(o.samples, 2304u);
    EXPECT_EQ(beCloseStream(o.stream), 0u);
}

TEST(EncoderLibrary, ClosedAndUnknownStreamsAreRefused) {
    std::vector<uint8_t> out(16384);
    uint32_t bytes = 0;
    const std::vector<int16_t> pcm = makeTone(440, 0.2, 22050, 2);
    for (HBE_STREAM bogus : {0u, 123456u}) {
        EXPECT_EQ(beEncodeChunk(bogus, 1152, pcm.data(), out.data(), &bytes),
                  BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(beDeinitStream(bogus, out.data(), &bytes), BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(beCloseStream(bogus), BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(beWriteInfoTag(bogus, "/dev/null"), BE_ERR_INVALID_HANDLE);
    }

    const Opened o = open(recordingConfig(22050, BE_MP3_MODE_JSTEREO));
    ASSERT_EQ(o.rc, 0u);
    ASSERT_EQ(beEncodeChunk(o.stream, o.samples, pcm.data(), out.data(), &bytes), 0u);
    ASSERT_EQ(beDeinitStream(o.stream, out.data(), &bytes), 0u);
    EXPECT_EQ(beEncodeChunk(o.stream, o.samples, pcm.data(), out.data(), &bytes),
              BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beDeinitStream(o.stream, out.data(), &bytes), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beCloseStream(o.stream), 0u);
    EXPECT_EQ(beCloseStream(o.stream), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beEncodeChunk(o.stream, o.samples, pcm.data(), out.data(), &bytes),
              BE_ERR_INVALID_HANDLE);

    // Closed in the middle of encoding, as after a failure: still closes cleanly.
    const Opened broken = open(recordingConfig(22050, BE_MP3_MODE_JSTEREO));
    for (size_t at = 0; at + broken.samples <= pcm.size(); at += broken.samples) {
        ASSERT_EQ(beEncodeChunk(broken.stream, broken.samples, pcm.data() + at, out.data(), &bytes),
                  0u);
    }
    EXPECT_EQ(beCloseStream(broken.stream), 0u);
    EXPECT_EQ(beEncodeChunk(broken.stream, broken.samples, pcm.data(), out.data(), &bytes),
              BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beWriteInfoTag(broken.stream, "/nonexistent/file.mp3"),
              BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(beWriteInfoTag(broken.stream, "/nonexistent/file.mp3"), BE_ERR_INVALID_HANDLE);
}

TEST(EncoderLibrary, TagsGoIntoTheFilesTheyBelongToAndGiveTheirExactLength) {
    TempDir dir;
    const std::vector<int16_t> longTone = makeTone(440, 1.0, 22050, 2);
    const std::vector<int16_t> shortTone = makeTone(660, 0.5, 22050, 2);
    const Opened a = open(recordingConfig(22050, BE_MP3_MODE_JSTEREO));
    const Opened b = open(recordingConfig(22050, BE_MP3_MODE_JSTEREO));
    ASSERT_EQ(a.rc, 0u);
    ASSERT_EQ(b.rc, 0u);
    encodeToFile(a, longTone, dir.file("a.mp3"));
    encodeToFile(b, shortTone, dir.file("b.mp3"));
    // The header call takes the stream closed last: b.
    EXPECT_EQ(beWriteVBRHeader(dir.file("b.mp3").c_str()), 0u);

    // A file that does not start with the stream's placeholder frame is left alone.
    writeFile(dir.file("other.bin"), std::string(4096, 'x'));
    const Opened c = open(recordingConfig(22050, BE_MP3_MODE_JSTEREO));
    encodeToFile(c, shortTone, dir.file("c.mp3"));
    EXPECT_EQ(beWriteInfoTag(c.stream, dir.file("other.bin").c_str()), BE_ERR_INVALID_FORMAT);
    EXPECT_EQ(readFile(dir.file("other.bin")), std::string(4096, 'x'));

    // a's tag still waits and goes in by its handle; the header call never reaches back past
    // the stream closed last (c, whose tag found no file of its own).
    EXPECT_EQ(beWriteVBRHeader(dir.file("a.mp3").c_str()), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(beWriteInfoTag(a.stream, dir.file("a.mp3").c_str()), 0u);

    EXPECT_NEAR(decodeMp3WithLame(dir.file("a.mp3"), dir.path()).size() / 2.0,
                longTone.size() / 2.0, 576);
    EXPECT_NEAR(decodeMp3WithLame(dir.file("b.mp3"), dir.path()).size() / 2.0,
                shortTone.size() / 2.0, 576);
}

} // namespace
