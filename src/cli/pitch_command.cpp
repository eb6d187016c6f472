#include "cli/pitch_command.h"

#include "cli/audio_file_source.h"
#include "cli/voice_options.h"
#include "effects/audio_format.h"
#include "psola/pitch_analysis.h"

#include <algorithm>
#include <cstdio>

namespace timbrelo::cli {
namespace {

// 20 s of audio per analysis.
constexpr size_t kPieceFrames = 20 * kPipelineRate;

} // namespace

int runPitchCommand(const std::vector<std::string_view>& args) {
    if (args.size() != 1) {
        throw CliError{CliError::Kind::Usage, "pitch needs one FILE"};
    }
    const std::string path(args[0]);
    std::string error;
    std::unique_ptr<AudioFileSource> source = AudioFileSource::open(path, error);
    if (!source) {
        throw CliError{CliError::Kind::Value, path + ": " + error};
    }
    // The file is analysed in pieces, so memory stays flat for any length; only the pitch of
    // each voiced frame (100 a second) is kept for the median.
    std::vector<float> voiced;
    AnalysisSound sound;
    sound.dx = 1.0f / kPipelineRate;
    sound.samples.reserve(kPieceFrames);
    const auto analysePiece = [&] {
        if (sound.samples.empty()) {
            return;
        }
        sound.xmin = 0;
        sound.xmax = static_cast<float>(sound.samples.size()) * sound.dx;
        sound.x1 = 0.5f * sound.dx;
        // The voice engine's analysis settings, with room for raised voices.
        std::unique_ptr<PitchTrack> track =
            analysePitch(sound, 0.01f, 75.0f, 3.0f, 15, 0.03f, 0.45f, 0.01f, 0.35f, 0.14f, 900.0f);
        if (track) {
            for (const PitchFrame& frame : track->frames) {
                if (frame.candidateCount > 0 && frame.candidates[0].frequency > 0) {
                    voiced.push_back(frame.candidates[0].frequency);
                }
            }
        }
        sound.samples.clear();
    };
    int16_t block[4096];
    for (size_t got; (got = source->readFrames(block, sizeof block / 4)) > 0;) {
        for (size_t i = 0; i < got; ++i) {
            sound.samples.push_back((block[2 * i] + block[2 * i + 1]) * 0.5f);
            if (sound.samples.size() == kPieceFrames) {
                analysePiece();
            }
        }
    }
    analysePiece();
    if (std::string readError = source->readError(); !readError.empty()) {
        throw CliError{CliError::Kind::Value, path + ": " + readError};
    }
    if (voiced.empty()) {
        std::printf("unvoiced\n");
        return 0;
    }
    std::nth_element(voiced.begin(), voiced.begin() + voiced.size() / 2, voiced.end());
    std::printf("%.1f Hz\n", voiced[voiced.size() / 2]);
    return 0;
}

} // namespace timbrelo::cli
