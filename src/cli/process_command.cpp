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
#include <thread>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

using Clock = std::chrono::steady_clock;

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
    "otherwise WAV; 22050 Hz stereo).\n"
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

    std::string error;
    std::shared_ptr<AudioFileSource> source = AudioFileSource::open(inputPath, error);
    if (!source) {
        throw CliError{CliError::Kind::Value, inputPath + ": " + error};
    }
    OutputFile output;
    if (!output.open(outputPath, error)) {
        throw CliError{CliError::Kind::Value, outputPath + ": " + error};
    }
    DelayMeter meter;
    source->setObserver(
        [&meter](const int16_t* stereo, uint32_t frames) { meter.addInput(stereo, frames); });

    NoDevices noDevices;
    CaptureEngine engine(noDevices);
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
    const uint64_t padding = voice.effectsOff ? 0
                                              : uint64_t{engine.pipelineLatencyFrames()} +
                                                    engine.burstFrames() +
                                                    engine.chain().tailFrames();
    source->setPadding(padding);

    const auto started = Clock::now();
    ProgressBar progress(!quiet && ::isatty(STDERR_FILENO) && source->inputSeconds() > 10.0,
                         source->expectedFrames() + padding);
    std::array<int16_t, CaptureEngine::kBlockFrames * 2> block{};
    for (;;) {
        const size_t frames = source->readFrames(block.data(), CaptureEngine::kBlockFrames);
        if (frames == 0) {
            break;
        }
        engine.processBlock(std::span<const int16_t>(block.data(), frames * 2));
        progress.update(source->framesDelivered());
    }
    engine.stop();
    progress.finish();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();

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
