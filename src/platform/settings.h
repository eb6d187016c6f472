#pragma once
// The program's folder under the user's configuration folder and the settings lines of its
// "cfg" file. Settings lines are a key that ends in one blank, then the value; the effect
// configuration lines live in the same file and pass through every rewrite unchanged.

#include <cstddef>
#include <string>
#include <string_view>

namespace timbrelo {

inline constexpr const char* kDataFolderName = "Tonvari";
inline constexpr const char* kSettingsFileName = "cfg";
// Longest path, terminator included, that the folder rules accept.
inline constexpr int kMaxPath = 260;

// The settings file and configuration files given by the user are small text files; a
// larger one (or a device, a pipe, a folder) is refused rather than read without end.
inline constexpr size_t kMaxSettingsFileBytes = size_t{1} << 20;

// Results of ensureDataFolder.
inline constexpr int kFolderExisted = 1;
inline constexpr int kFolderCreated = 0;
inline constexpr int kPathTooLong = -2;
inline constexpr int kFolderNotCreated = -3;
inline constexpr int kFolderCheckFailed = -4;
inline constexpr int kNoConfigHome = -5;

// The user's configuration folder: $XDG_CONFIG_HOME, else $HOME/.config; "" when neither is set.
std::string configHome();

// Writes the data folder path (ending in "Tonvari/") to `path` and creates the folder when it
// is missing (one level). Returns kFolderExisted, kFolderCreated or a negative error; `path` is
// left unchanged on kPathTooLong and kNoConfigHome. `bufferSize` is the caller's limit
// including the terminator (at most kMaxPath counts).
int ensureDataFolder(std::string& path, int bufferSize = kMaxPath);

// Writes the folder path followed by "cfg" to `path` without creating anything.
// Returns 0, or kPathTooLong / kNoConfigHome with `path` unchanged.
int settingsFilePath(std::string& path, int bufferSize = kMaxPath);

// Reads the whole of a regular file (or a link to one) of at most `maxBytes` bytes. False with
// a reason in `why` ("is a folder", "is not a regular file", "is larger than 1 MiB", or the
// system's reason) when it can't. Never blocks on a pipe.
bool readTextFile(const std::string& path, std::string& content, std::string& why,
                  size_t maxBytes = kMaxSettingsFileBytes);

// Sets `value` from the first line of the settings file that begins with `key`; leaves it
// unchanged when there is no such line or no file (or a file readTextFile refuses).
void getSetting(std::string_view key, std::string& value);

// Stores `value` under `key`: every line that begins with the key is replaced, or the line is
// appended. Does nothing when the settings file does not exist. The file is replaced
// atomically (a new file beside it, renamed over it), so a failure leaves the old file whole.
// Returns false when nothing was stored (no file, a file readTextFile refuses, a value with a
// line end, or a write error).
bool setSetting(std::string_view key, std::string_view value);

// The same two operations on a file of the caller's choice (the cfg grammar is the same).
void getSettingIn(const std::string& file, std::string_view key, std::string& value);
bool setSettingIn(const std::string& file, std::string_view key, std::string_view value);

// Replaces `file` with `content` atomically: written to a temporary file in the same folder,
// synced, then renamed over it. Returns false (and leaves `file` untouched) on any failure.
bool replaceFileAtomically(const std::string& file, std::string_view content);

} // namespace timbrelo
