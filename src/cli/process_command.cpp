#include "cli/process_command.h"

#include "audio/capture_engine.h"
#include "cli/audio_file_source.h"
#include "cli/delay_meter.h"
#include "cli/output_file.h"
#include "cli/progress_bar.h"
#include "cli/voice_options.h"
#include "effects/background_effect.h"
#include "platform/messages.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kWavHeaderBytes = 46;

// How long an input may give nothing before the run ends (TIMBRELO_STALL_SECONDS overrides
// the 30 s, for tests).
std::chrono::milliseconds stallTimeout() {
    if (const char* env = std::getenv("TIMBRELO_STALL_SECONDS")) {
        const double seconds = std::atof(env);
        if (seconds > 0 && seconds < 86400) {
            return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
        }
    }
    return AudioFileSource::kDefaultStall;
}

bool isMp3Name(const std::string& path) {
    return path.size() >= 4 && ::strcasecmp(path.c_str() + path.size() - 4, ".mp3") == 0;
}

// Receives what the virtual microphone would receive.
class OutputLink : public VirtualDevice {
  public:
    OutputLink(OutputFile& file, DelayMeter& meter, const AudioFileSource& source)
        : file_(file), meter_(meter), source_(source) {}
    void beginVoice(uint32_t) override {}
    void setVoiceBurst(uint32_t) override {}
    void writeVoice(std::span<const int16_t> samples) override {
        file_.write(samples);
        const auto frames = static_cast<uint32_t>(samples.size() / kPipelineFormat.channels);
        meter_.addOutput(samples.data(), frames, source_.framesDelivered());
        frames_ += frames;
    }
    void endVoice() override {}
    uint32_t readRender(std::span<int16_t>, std::chrono::milliseconds) override { return 0; }
    void interruptRender() override {}
    bool clientRecording() const override { return true; }
    void setListener(VirtualDeviceListener*) override {}
    bool lost() const override { return false; }
    JitterBuffer::Stats voiceStats() const override { return {}; }
    uint32_t voiceDelayFrames() const override { return 0; }

    uint64_t frames() const { return frames_; }

  private:
    OutputFile& file_;
    DelayMeter& meter_;
    const AudioFileSource& source_;
    uint64_t frames_ = 0;
};

// A sound system with no devices: file processing feeds the engine itself.
class NoDevices : public AudioBackend {
  public:
    uint32_t inputDeviceCount() override { return 0; }
    std::string inputDeviceName(uint32_t) override { return {}; }
    uint32_t outputDeviceCount() override { return 0; }
    std::string outputDeviceName(uint32_t) override { return {}; }
    AudioResult openCapture(uint32_t, const StreamFormat&, uint32_t, CaptureSink&,
                            std::unique_ptr<CaptureStream>&) override {
        return AudioResult::BadDevice;
    }
    AudioResult openPlayback(uint32_t, const StreamFormat&, uint32_t, PlaybackSource&,
                             std::unique_ptr<PlaybackStream>&) override {
        return AudioResult::BadDevice;
    }
    AudioResult defaultInput(uint32_t&) override { return AudioResult::NotSupported; }
    AudioResult setDefaultInput(uint32_t) override { return AudioResult::NotSupported; }
    AudioResult defaultOutput(uint32_t&) override { return AudioResult::NotSupported; }
    AudioResult setDefaultOutput(uint32_t) override { return AudioResult::NotSupported; }
    const char* kind() const override { return "none"; }
};

} // namespace

const char* const kProcessUsage =
    "usage: timbrelo-cli process [options] INPUT OUTPUT\n"
    "\n"
    "Runs INPUT (any audio file: WAV, FLAC, Ogg, ...) through the real-time voice changer and\n"
    "writes what the virtual microphone would hear to OUTPUT (MP3 when it ends in .mp3,\n"
    "otherwise WAV; 22050 Hz stereo). INPUT may be a pipe; one that gives nothing for 30 s\n"
    "ends the run. OUTPUT is written under a temporary name and appears only when complete;\n"
    "an OUTPUT that exists must be a regular file (or a link to one).\n"
    "\n"
    "options:\n";

int runProcessCommand(const std::vector<std::string_view>& args) {
    VoiceOptions voice;
    bool quiet = false;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size();) {
        if (parseVoiceOption(args, i, voice)) {
            continue;
        }
        if (args[i] == "--quiet" || args[i] == "-q") {
            quiet = true;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            throw CliError{CliError::Kind::Usage, "unknown option " + std::string(args[i])};
        } else {
            positional.emplace_back(args[i]);
        }
        ++i;
    }
    if (positional.size() != 2) {
        throw CliError{CliError::Kind::Usage, "process needs an INPUT and an OUTPUT file"};
    }
    const std::string& inputPath = positional[0];
    const std::string& outputPath = positional[1];

    // Everything is checked before any work: the input, the music and the configuration,
    // then whether the output can take the result.
    std::string error;
    std::shared_ptr<AudioFileSource> source =
        AudioFileSource::open(inputPath, error, stallTimeout());
    if (!source) {
        throw CliError{CliError::Kind::Value, inputPath + ": " + error};
    }
    DelayMeter meter;
    source->setObserver(
        [&meter](const int16_t* stereo, uint32_t frames) { meter.addInput(stereo, frames); });

    NoDevices noDevices;
    CaptureEngine engine(noDevices);
    OutputFile output;
    OutputLink link(output, meter, *source);
    engine.setVirtualDevice(&link);

    prepareChain(engine, voice);
    if (auto* music =
            dynamic_cast<BackgroundEffect*>(engine.chain().slot(EffectChain::kBackgroundSlot))) {
        // Faster than real time, the music's reader must be waited for.
        music->setWaitForMusic(true);
    }
    if (!engine.startWithoutDevice(kPipelineFormat)) {
        throw CliError{CliError::Kind::Value, "the audio pipeline could not start"};
    }
    applyVoice(engine, voice);
    // File output does not depend on the settings file: cleaning only when asked for here.
    engine.inputCleaner().apply(cleaningSettings(voice));
    // After the input, silence until everything the voice left inside the pipeline is out:
    // its delay, the longest stretch it may hold a block back, and an echo's tail.
    const uint64_t padding = voice.effectsOff
                                 ? 0
                                 : uint64_t{engine.pipelineLatencyFrames()} + engine.burstFrames() +
                                       engine.chain().tailFrames();
    source->setPadding(padding);
    if (!OutputFile::check(outputPath, source->expectedFrames() + padding, error) ||
        !output.open(outputPath, error)) {
        engine.stop();
        throw CliError{CliError::Kind::Value, outputPath + ": " + error};
    }

    const auto started = Clock::now();
    ProgressBar progress(!quiet && ::isatty(STDERR_FILENO) && source->inputSeconds() > 10.0,
                         source->expectedFrames() + padding);
    std::array<int16_t, CaptureEngine::kBlockFrames * 2> block{};
    const bool wav = !isMp3Name(outputPath);
    std::string tooLong;
    for (;;) {
        const size_t frames = source->readFrames(block.data(), CaptureEngine::kBlockFrames);
        if (frames == 0) {
            break;
        }
        engine.processBlock(std::span<const int16_t>(block.data(), frames * 2));
        progress.update(source->framesDelivered());
        // The length of a pipe is not known ahead: stop where a WAV file would overflow.
        if (wav &&
            kWavHeaderBytes + (link.frames() + CaptureEngine::kBlockFrames * 4) * 4 > UINT32_MAX) {
            tooLong = "the result grew past the 4 GiB a WAV file can hold; write an .mp3 file "
                      "instead";
            break;
        }
    }
    engine.stop();
    progress.finish();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();

    if (!tooLong.empty()) {
        throw CliError{CliError::Kind::Value, outputPath + ": " + tooLong};
    }
    if (std::string readError = source->readError(); !readError.empty()) {
        throw CliError{CliError::Kind::Value, inputPath + ": " + readError};
    }
    if (!output.commit(error)) {
        throw CliError{CliError::Kind::Value, outputPath + ": " + error};
    }
    if (!quiet) {
        const double outSeconds = static_cast<double>(link.frames()) / kPipelineFormat.rate;
        const double delay = meter.delayMs(kPipelineFormat.rate);
        char delayText[32];
        if (delay >= 0) {
            std::snprintf(delayText, sizeof delayText, "%.0f ms", delay);
        } else {
            std::snprintf(delayText, sizeof delayText, "not measurable");
        }
        std::printf("%s -> %s: input %.2f s, output %.2f s, delay %s, %.0fx faster than real "
                    "time\n",
                    inputPath.c_str(), outputPath.c_str(), source->inputSeconds(), outSeconds,
                    delayText, source->inputSeconds() / std::max(elapsed, 1e-6));
    }
    return 0;
}

} // namespace timbrelo::cli
