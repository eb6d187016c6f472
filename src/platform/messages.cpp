#include "platform/messages.h"

#include "platform/sink_slot.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace timbrelo {
namespace {

struct Entry {
    int id;
    const char* text;
};

constexpr Entry kStringTable[] = {
    {IDS_ABOUTBOX, "About Timbrelo(&A)..."},
    {IDS_APP_TITLE, "Timbrelo"},
    {IDS_DEVICE_NOT_INSTALLED, "Please make sure you installed Virello and only one Virello."},
    {IDS_NO_RECORD_DEVICE, "Can't find one record device."},
    {IDS_EFFECT_OFF, "Effect Off"},
    {IDS_EFFECT_ON, "Effect On"},
    {IDS_INPUT_FILE_NAME, "Please input the record file name."},
    {IDS_START_RECORD, "Start Record"},
    {IDS_STOP_RECORD, "Stop Record"},
    {IDS_CANT_SAVE, "Can't save to this file, please check if other application using it."},
    {IDS_HIDE, "Hide(&H)"},
    {IDS_SHOW, "Show(&S)"},
    {IDS_PLAY, "Play"},
    {IDS_STOP, "Stop"},
    {IDS_ERROR_AUDIO_DEVICE, "Error audio device."},
    {IDS_OPEN_WAVE_FAILED, "Open wave file failed."},
    {IDS_PLAYER_STATUS_ERROR, "Player status error."},
    {IDS_MP3_8BITS, "Cannot record 8 bits mp3."},
    {IDS_WRITE_FILE_FAILED, "Write file failed."},
    {IDS_LOAD_ENCODER_FAILED, "Error loading MP3 encoder."},
    {IDS_ENCODER_INTERFACES, "Unable to get MP3 encoder interfaces."},
    {IDS_ENCODER_STREAM, "Error opening encoding stream"},
    {IDS_OUT_OF_MEMORY, "Out of memory."},
    {IDS_CANT_OPEN_FILE, "Can't open this file, please check if other application using it."},
    {IDS_OPEN_CONFIG_FAILED, "Open config file fail."},
};

SinkSlot& sinkSlot() {
    static SinkSlot slot;
    return slot;
}

} // namespace

const char* loadString(int id) {
    for (const Entry& e : kStringTable) {
        if (e.id == id) {
            return e.text;
        }
    }
    return "";
}

void showMessage(std::string_view text) {
    if (!sinkSlot().call(text)) {
        std::string line(text);
        line.push_back('\n');
        writeAll(STDERR_FILENO, line);
    }
}

void showStringMessage(int id) {
    showMessage(loadString(id));
}

void showMessagePrintf(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n >= 0) {
        showMessage(
            std::string_view(text, std::min<size_t>(static_cast<size_t>(n), sizeof text - 1)));
    }
}

MessageSink setMessageSink(MessageSink sink) {
    return sinkSlot().replace(std::move(sink));
}

struct MessageCapture::State {
    mutable std::mutex mutex;
    std::vector<std::string> messages;
};

MessageCapture::MessageCapture() : state_(std::make_shared<State>()) {
    previous_ = setMessageSink([s = state_](std::string_view text) {
        std::lock_guard lock(s->mutex);
        s->messages.emplace_back(text);
    });
}

MessageCapture::~MessageCapture() {
    setMessageSink(std::move(previous_));
}

std::vector<std::string> MessageCapture::messages() const {
    std::lock_guard lock(state_->mutex);
    return state_->messages;
}

bool MessageCapture::contains(std::string_view needle) const {
    for (const std::string& m : messages()) {
        if (m.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void MessageCapture::clear() {
    std::lock_guard lock(state_->mutex);
    state_->messages.clear();
}

} // namespace timbrelo
