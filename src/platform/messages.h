#pragma once
// What the user is told: the string table and the message boxes built on it.
// The window shows a real message box, the command line prints to standard error and
// tests capture; each sets the sink it needs.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace timbrelo {

// Entries of the string table the program uses.
enum StringId : int {
    IDS_ABOUTBOX = 101,  // "About Timbrelo(&A)..."
    IDS_APP_TITLE = 102, // "Timbrelo"
    IDS_DEVICE_NOT_INSTALLED = 104,
    IDS_NO_RECORD_DEVICE = 105,
    IDS_EFFECT_OFF = 107,
    IDS_EFFECT_ON = 108,
    IDS_INPUT_FILE_NAME = 109,
    IDS_START_RECORD = 110,
    IDS_STOP_RECORD = 111,
    IDS_CANT_SAVE = 112,
    IDS_HIDE = 113,
    IDS_SHOW = 114,
    IDS_PLAY = 115,
    IDS_STOP = 116,
    IDS_ERROR_AUDIO_DEVICE = 117,
    IDS_OPEN_WAVE_FAILED = 118,
    IDS_PLAYER_STATUS_ERROR = 123,
    IDS_MP3_8BITS = 124,
    IDS_WRITE_FILE_FAILED = 125,
    IDS_LOAD_ENCODER_FAILED = 126,
    IDS_ENCODER_INTERFACES = 127,
    IDS_ENCODER_STREAM = 128,
    IDS_OUT_OF_MEMORY = 129,
    IDS_CANT_OPEN_FILE = 130,
    IDS_OPEN_CONFIG_FAILED = 132,
};

// The text of a string-table entry; "" for a number the table does not hold.
const char* loadString(int id);

// Shows a plain message (a message box with an OK button in the window).
void showMessage(std::string_view text);
// Shows the string-table entry.
void showStringMessage(int id);
// printf-style message; longer than 1023 characters is cut.
void showMessagePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

using MessageSink = std::function<void(std::string_view)>;
// Replaces where messages go; returns the previous sink. Without a sink, messages go to
// standard error as one line each.
MessageSink setMessageSink(MessageSink sink);

// Collects the messages shown while it lives (for tests).
class MessageCapture {
  public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    std::vector<std::string> messages() const;
    bool contains(std::string_view needle) const;
    void clear();

  private:
    struct State;
    std::shared_ptr<State> state_;
    MessageSink previous_;
};

} // namespace timbrelo
