#pragma once
// Turns an MPEG audio stream (an MP3 file chosen as background music) into blocks of linear
// PCM, one frame per `decode`. Decoding runs on libmad; the output is dithered, little-endian
// PCM of 8, 16, 24 or 32 bits.
//
// A decoder reads its compressed bytes from an `AudioSource` it does not own. It cannot start
// a stream again: to loop, its user closes it and takes a fresh decoder from the process-wide
// list (`DecoderList`).

#include <array>
#include <cstdint>
#include <mad.h>
#include <memory>

namespace timbrelo {

// Where compressed bytes come from. Kind 0 reads a file descriptor; every other kind fails
// every read (there are no internet handles on this system).
struct AudioSource {
    static constexpr int32_t kFile = 0;
    static constexpr int32_t kInternet = 1;
    int32_t kind = kFile;
    int32_t handle = -1;
};

// One decoded frame, written into the caller's buffer.
struct DecodedBlock {
    uint8_t* data = nullptr;
    uint32_t capacity = 0; // bytes at `data`
    uint32_t length = 0;   // bytes written by the last decode
    uint32_t rate = 0;     // Hz
    uint16_t channels = 0; // 1 or 2
    uint16_t bits = 0;     // 8, 16, 24 or 32
};

class AudioDecoder {
  public:
    virtual ~AudioDecoder() = default;
    // Starts decoding from `source`; `*outSize` receives the block size the caller should
    // allocate. Returns 0.
    virtual int32_t open(const AudioSource* source, uint32_t* outSize) = 0;
    // Releases the decoding state. Returns 0.
    virtual int32_t close() = 0;
    // Decodes the next frame into the block: one of the Mp3Decoder::Result codes.
    virtual int32_t decode(DecodedBlock* block) = 0;
    // Slider values 0..63 for the preamp and the ten bands (31 = 0 dB). Returns 0.
    virtual int32_t setEqualizer(uint32_t on, int32_t preamp, const int8_t* bands) = 0;
};

class Mp3Decoder final : public AudioDecoder {
  public:
    // kNoFrame: kScanBytes more bytes were read without finding a frame; call again to go
    // on (so a caller can give up on a stream of junk, or stop, without waiting for its end).
    enum Result : int32_t {
        kOk = 0,
        kBlockTooSmall = 1,
        kReadError = 6,
        kEndOfStream = 7,
        kNoFrame = 8
    };
    enum ChannelMode : int32_t {
        kKeep = 0,
        kMonoMix = 1,
        kLeftOnly = 2,
        kRightOnly = 3,
        kSwap = 4
    };

    // Block size that holds any frame: 1152 samples x 2 channels x 4 bytes, with room to spare.
    static constexpr uint32_t kBlockBytes = 13816;
    static constexpr uint32_t kInputBytes = 100000;
    // The input is refilled only when fewer undecoded bytes than this remain.
    static constexpr uint32_t kRefillBelow = 25000;
    // Bytes one decode call reads at most while it finds no frame.
    static constexpr uint32_t kScanBytes = 1u << 20;
    static constexpr int kSubbands = 32;
    static constexpr int kBands = 10;
    // Samples the synthesis filter lags behind the encoder's input.
    static constexpr uint32_t kSynthesisDelay = 529;

    Mp3Decoder();
    ~Mp3Decoder() override;
    Mp3Decoder(const Mp3Decoder&) = delete;
    Mp3Decoder& operator=(const Mp3Decoder&) = delete;

    int32_t open(const AudioSource* source, uint32_t* outSize) override;
    int32_t close() override;
    int32_t decode(DecodedBlock* block) override;
    int32_t setEqualizer(uint32_t on, int32_t preamp, const int8_t* bands) override;

    // A ChannelMode; false (and no change) for any other value.
    bool setChannelMode(int32_t mode);
    // 8, 16, 24 or 32; false (and no change) for any other value.
    bool setBits(int32_t bits);
    // Off by default. When on, the encoder's information frame is not played and the delay
    // and padding it records are cut off, so the stream holds exactly the encoded samples and
    // a file played in a loop joins without a gap. Takes effect at the next `open`.
    void setGapless(bool on) { gapless_ = on; }

    int32_t channelMode() const { return channelMode_; }
    int32_t bits() const { return bits_; }
    bool equalizerOn() const { return equalizerOn_; }
    // Fixed-point gain of a subband, 28 fraction bits.
    int32_t bandGain(int subband) const { return bandGain_[subband]; }

  private:
    enum class Refill { kDone, kReadError };

    Refill refill(bool force);
    size_t undecodedBytes() const;
    int32_t readSource(uint8_t* dst, size_t bytes);
    // Bytes read from the source so far.
    uint64_t bytesRead_ = 0;
    // Reads the encoder's information frame; true when this frame is one (and so not audio).
    bool readInfoFrame();
    void mixToMono();
    void applyEqualizer();
    int32_t writePcm(DecodedBlock* block, uint32_t first, uint32_t count);

    int32_t channelMode_ = kKeep;
    int32_t bits_ = 16;
    bool gapless_ = false;
    bool equalizerOn_ = false;
    std::array<int32_t, kSubbands> bandGain_{};

    AudioSource source_;
    bool opened_ = false;
    bool endOfInput_ = false;
    std::unique_ptr<uint8_t[]> input_; // kInputBytes plus libmad's guard bytes
    size_t inputCount_ = 0;
    mad_stream stream_{};
    mad_frame frame_{};
    mad_synth synth_{};

    // Gapless playing: frames seen, samples to drop in front, samples the stream holds.
    uint64_t framesSeen_ = 0;
    uint64_t samplesSeen_ = 0;
    uint64_t skipSamples_ = 0;
    uint64_t validSamples_ = 0; // 0: unknown, nothing is cut at the end
};

// The process-wide list of decoders. Creating a decoder appends it; `reset` empties the list.
// A decoder taken from the list stays alive while its user holds it, so a reset from one user
// never pulls a decoder from under another. Safe from any thread.
class DecoderList {
  public:
    static std::shared_ptr<Mp3Decoder> create();
    static std::shared_ptr<Mp3Decoder> first();
    // Takes one decoder off the list (its owner is going away).
    static void release(const std::shared_ptr<Mp3Decoder>& decoder);
    static void reset();
    static size_t size();
};

} // namespace timbrelo
