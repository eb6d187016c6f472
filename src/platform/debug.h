#pragma once
// The debug channel: diagnostic lines that a developer can watch while the program runs.
// Off unless TIMBRELO_DEBUG=1 is set (then lines go to standard error) or a sink is installed.
// Safe to call from the audio threads: formatting uses a stack buffer, nothing is allocated.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace timbrelo {

// Writes the text exactly as given (the caller supplies any line end).
void debugWrite(std::string_view text);
// printf-style variant; output longer than 1023 characters is cut.
void debugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// True when anything written to the channel goes somewhere.
bool debugEnabled();
// Switches the standard-error output on or off (the command line's --debug).
void setDebugToStderr(bool on);

using DebugSink = std::function<void(std::string_view)>;
// Installs a sink that receives every text (in addition to standard error when that is on).
// Returns the previous sink. Not meant to be switched while audio threads write.
DebugSink setDebugSink(DebugSink sink);

// Collects everything written to the channel while it lives (for tests).
class DebugCapture {
  public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::string text() const;
    bool contains(std::string_view needle) const;
    void clear();

  private:
    struct State;
    std::shared_ptr<State> state_;
    DebugSink previous_;
};

} // namespace timbrelo
