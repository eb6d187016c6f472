#include "cli/process_command.h"

#include "audio/capture_engine.h"
#include "cli/audio_file_source.h"
#include "cli/delay_meter.h"
#include "cli/output_file.h"
#include "cli/progress_bar.h"
#include "cli/voice_options.h"
#include "effects/background_effect.h"
#include "platform/auto_reset_event.h"
#include "platform/messages.h"
#include "platform/wave/sim_audio_backend.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace timbrelo::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Silence after the input, so nothing of the voice stays inside the pipeline when it stops:
// the pitch shifter and psola hold back a few hundred milliseconds; echo taps reach further.
constexpr double kPaddingSeconds = 1.0;

// Receives what the virtual microphone would receive.
class OutputLink : public VirtualDevice {
  public:
    OutputLink(OutputFile& file, DelayMeter& meter, const AudioFileSource& source)
        : file_(file), meter_(meter), source_(source) {}
    bool ioControl(uint32_t code, const void* in, uint32_t inBytes, void*, uint32_t,
                   uint32_t* returned) override {
        if (returned != nullptr) {
            *returned = 0;
        }
        if (code == IOCTL_WRITE_CAPTURE && inBytes > 0) {
            file_.write(static_cast<const uint8_t*>(in), inBytes);
            meter_.addOutput(static_cast<const int16_t*>(in), inBytes / kPipelineFrameBytes,
                             source_.framesDelivered());
            bytes_ += inBytes;
        }
        return true;
    }
    uint64_t bytes() const { return bytes_; }

  private:
    OutputFile& file_;
    DelayMeter& meter_;
    const AudioFileSource& source_;
    uint64_t bytes_ = 0;
};

double echoReachSeconds(const std::optional<std::string>& echo) {
    // The longest delay of the echo line (every odd argument after the two gains).
    double longest = 0;
    if (!echo) {
        return 0;
    }
    std::vector<double> numbers;
    const char* p = echo->c_str();
    char* end = nullptr;
    for (double v = std::strtod(p, &end); end != p; v = std::strtod(p, &end)) {
        numbers.push_back(v);
        p = end;
    }
    for (size_t i = 2; i < numbers.size(); i += 2) {
        longest = std::max(longest, numbers[i] / 1000.0);
    }
    return std::min(longest, 120.0);
}

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
    // With effects off nothing is held back, and the output is the input itself.
    const double padding = voice.effectsOff ? 0.0 : kPaddingSeconds + echoReachSeconds(voice.echo);
    source->setPadding(static_cast<uint64_t>(padding * kPipelineRate));

    DelayMeter meter;
    source->setObserver(
        [&meter](const int16_t* stereo, uint32_t frames) { meter.addInput(stereo, frames); });

    SimAudioBackend backend;
    const uint32_t mic = backend.addInputDevice("timbrelo-cli input", source);
    AutoResetEvent ended;
    backend.setEndOfInputHandler([&ended](uint32_t) { ended.set(); });

    CaptureEngine::Options engineOptions;
    engineOptions.stopGrace = std::chrono::milliseconds(0);
    CaptureEngine engine(backend, engineOptions);
    OutputLink link(output, meter, *source);
    engine.setLinkHandle(&link);

    prepareChain(engine, voice);
    if (auto* music =
            dynamic_cast<BackgroundEffect*>(engine.chain().slot(EffectChain::kBackgroundSlot))) {
        // Faster than real time, the music's reader must be waited for.
        music->setWaitForMusic(true);
    }
    if (engine.selectDevice(mic, CaptureEngine::kDefaultBufferBytes) != 1 ||
        engine.start(1, kPipelineRate, kPipelineBits) != 1) {
        throw CliError{CliError::Kind::Value, "the audio pipeline could not start"};
    }
    applyVoice(engine, voice);

    const auto started = Clock::now();
    ProgressBar progress(!quiet && ::isatty(STDERR_FILENO) && source->inputSeconds() > 10.0,
                         source->expectedFrames() + static_cast<uint64_t>(padding * kPipelineRate));
    source->release();
    // Wait for the end of the input; a pipeline that stops making progress is an error,
    // never a hang.
    uint64_t lastDelivered = 0;
    auto lastProgress = Clock::now();
    while (!ended.wait(std::chrono::milliseconds(100))) {
        const uint64_t delivered = source->framesDelivered();
        progress.update(delivered);
        if (delivered != lastDelivered) {
            lastDelivered = delivered;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > std::chrono::seconds(30)) {
            engine.stop();
            throw CliError{CliError::Kind::Value, "the audio pipeline stopped making progress"};
        }
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
        const double outSeconds =
            static_cast<double>(link.bytes()) / (kPipelineRate * kPipelineFrameBytes);
        const double delay = meter.delayMs(kPipelineRate);
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
