#include "pulse/virtual_pair_modules.h"

#include "platform/audio_io/stream_format.h"
#include "platform/debug.h"
#include "pulse/internal_device.h"
#include "pulse/pulse_connection.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <string_view>

namespace timbrelo {
namespace {

std::string sinkArguments(const char* name, const std::string& properties) {
    return std::string("sink_name=") + name + " rate=" + std::to_string(kPipelineFormat.rate) +
           " channels=" + std::to_string(kPipelineFormat.channels) + " format=s16le" +
           " sink_properties='" + properties + "'";
}

// True when `arguments` holds `token` as a whole blank-separated word.
bool hasArgument(const char* arguments, std::string_view token) {
    const std::string_view text = arguments != nullptr ? arguments : "";
    for (size_t at = text.find(token); at != std::string_view::npos;
         at = text.find(token, at + 1)) {
        const size_t end = at + token.size();
        const bool startsWord = at == 0 || std::isspace(static_cast<unsigned char>(text[at - 1]));
        const bool endsWord =
            end == text.size() || std::isspace(static_cast<unsigned char>(text[end]));
        if (startsWord && endsWord) {
            return true;
        }
    }
    return false;
}

std::string serverError(pa_context* context) {
    return pa_strerror(pa_context_errno(context));
}

} // namespace

VirtualPairModules::VirtualPairModules(PulseConnection& connection, pa_context* context)
    : connection_(connection), context_(context) {}

std::vector<VirtualPairModules::ModuleSpec> VirtualPairModules::specs() {
    const std::string feed = kFeedSinkName;
    const std::string internal = std::string(kInternalDeviceProperty) + "=1";
    return {
        {"module-null-sink",
         sinkArguments(kFeedSinkName,
                       "device.description=\"Timbrelo Microphone Feed\" " + internal),
         "sink_name=" + feed, "the virtual microphone's feed"},
        {"module-remap-source",
         "master=" + feed + ".monitor source_name=" + kMicrophoneName +
             " source_properties='device.description=\"" + kMicrophoneDescription +
             "\" device.icon_name=audio-input-microphone'",
         std::string("source_name=") + kMicrophoneName, "the virtual microphone"},
        {"module-null-sink",
         sinkArguments(kSpeakerName, std::string("device.description=\"") + kSpeakerDescription +
                                         "\" device.icon_name=audio-speakers"),
         std::string("sink_name=") + kSpeakerName, "the virtual speaker"},
    };
}

bool VirtualPairModules::bringUp(std::chrono::milliseconds deviceTimeout, std::string& error) {
    return adoptOrLoad(error) && waitForDevices(deviceTimeout, error);
}

void VirtualPairModules::unload() {
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
            connection_.await(pa_context_unload_module(context_, *it, nullptr, nullptr)) !=
                AudioResult::Ok) {
            break;
        }
    }
    modules_.clear();
}

bool VirtualPairModules::adoptOrLoad(std::string& error) {
    const std::vector<ModuleSpec> wanted = specs();
    struct Found {
        const std::vector<ModuleSpec>* specs;
        std::vector<std::vector<uint32_t>> indices;
    } found{&wanted, std::vector<std::vector<uint32_t>>(wanted.size())};
    AudioResult rc = connection_.await(pa_context_get_module_info_list(
        context_,
        [](pa_context*, const pa_module_info* info, int eol, void* out) {
            auto* f = static_cast<Found*>(out);
            for (size_t i = 0; eol == 0 && i < f->specs->size(); ++i) {
                const ModuleSpec& spec = (*f->specs)[i];
                if (info->name != nullptr && std::strcmp(info->name, spec.module) == 0 &&
                    hasArgument(info->argument, spec.key)) {
                    f->indices[i].push_back(info->index);
                }
            }
        },
        &found));
    if (rc != AudioResult::Ok) {
        error = "The sound server did not list its modules: " + audioResultText(rc);
        return false;
    }

    const bool wholePair = std::all_of(found.indices.begin(), found.indices.end(),
                                       [](const auto& v) { return v.size() == 1; });
    if (wholePair) {
        for (const auto& v : found.indices) {
            modules_.push_back(v.front());
        }
        adopted_ = true;
        debugWrite("Virtual device: adopted the pair an earlier run left behind.\n");
        return true;
    }
    // Pieces of a pair (or two pairs): clear them away and start afresh, dependants first.
    for (auto it = found.indices.rbegin(); it != found.indices.rend(); ++it) {
        for (uint32_t index : *it) {
            connection_.await(pa_context_unload_module(context_, index, nullptr, nullptr));
        }
    }
    for (const ModuleSpec& spec : wanted) {
        uint32_t index = PA_INVALID_INDEX;
        rc = connection_.await(pa_context_load_module(
            context_, spec.module, spec.arguments.c_str(),
            [](pa_context*, uint32_t idx, void* out) { *static_cast<uint32_t*>(out) = idx; },
            &index));
        if (rc != AudioResult::Ok || index == PA_INVALID_INDEX) {
            error = std::string("The sound server could not make ") + spec.role + " (" +
                    spec.module +
                    "): " + (rc != AudioResult::Ok ? audioResultText(rc) : serverError(context_));
            return false;
        }
        modules_.push_back(index);
    }
    return true;
}

bool VirtualPairModules::waitForDevices(std::chrono::milliseconds timeout, std::string& error) {
    // PipeWire shows a loaded module's device a moment after the load returns.
    struct Seen {
        bool feed = false;
        bool speaker = false;
        uint32_t microphone = PA_INVALID_INDEX;
    };
    const auto sinkSeen = [](pa_context*, const pa_sink_info*, int eol, void* out) {
        if (eol == 0) {
            *static_cast<bool*>(out) = true;
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Seen seen;
        AudioResult rc = connection_.await(
            pa_context_get_sink_info_by_name(context_, kFeedSinkName, sinkSeen, &seen.feed));
        if (rc == AudioResult::Ok) {
            rc = connection_.await(
                pa_context_get_sink_info_by_name(context_, kSpeakerName, sinkSeen, &seen.speaker));
        }
        if (rc == AudioResult::Ok) {
            rc = connection_.await(pa_context_get_source_info_by_name(
                context_, kMicrophoneName,
                [](pa_context*, const pa_source_info* info, int eol, void* out) {
                    if (eol == 0 && info->monitor_of_sink == PA_INVALID_INDEX) {
                        *static_cast<uint32_t*>(out) = info->index;
                    }
                },
                &seen.microphone));
        }
        if (rc != AudioResult::Ok) {
            error = "The sound server stopped answering: " + audioResultText(rc);
            return false;
        }
        if (seen.feed && seen.speaker && seen.microphone != PA_INVALID_INDEX) {
            microphoneIndex_ = seen.microphone;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "The sound server did not show the virtual microphone and speaker in time.";
            return false;
        }
        // A pause that lets the event loop run; only a failed connection ends it early.
        rc = connection_.waitUntil([] { return false; }, std::chrono::milliseconds(20));
        if (rc != AudioResult::ServerTimeout) {
            error = "The sound server stopped answering: " + audioResultText(rc);
            return false;
        }
    }
}

bool readServerDefaults(PulseConnection& connection, pa_context* context,
                        ServerDefaults& defaults, std::string& error) {
    const AudioResult rc = connection.await(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* out) {
            auto* d = static_cast<ServerDefaults*>(out);
            d->sink = info->default_sink_name != nullptr ? info->default_sink_name : "";
            d->source = info->default_source_name != nullptr ? info->default_source_name : "";
            d->server = info->server_name != nullptr ? info->server_name : "";
        },
        &defaults));
    if (rc != AudioResult::Ok) {
        error = "The sound server did not tell its default devices: " + audioResultText(rc);
        return false;
    }
    return true;
}

} // namespace timbrelo
