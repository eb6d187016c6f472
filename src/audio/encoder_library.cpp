#include "audio/encoder_library.h"

#include "platform/debug.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace timbrelo {
namespace {

std::string executableFolder() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    std::string s(path, static_cast<size_t>(n));
    const size_t slash = s.rfind('/');
    return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}

template <typename T>
T entry(void* module, const char* name) {
    return reinterpret_cast<T>(::dlsym(module, name));
}

} // namespace

EncoderLibrary::~EncoderLibrary() {
    unload();
}

bool EncoderLibrary::load(RecordingNotices& notices) {
    if (module_ != nullptr) {
        if (!usable_.load()) {
            notices.add(IDS_ENCODER_INTERFACES); // loaded, but without what recording needs
        }
        return usable_.load();
    }
    void* module = nullptr;
    if (name_.find('/') == std::string::npos) {
        const std::string besideExecutable = executableFolder() + name_;
        module = ::dlopen(besideExecutable.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (module == nullptr) {
        module = ::dlopen(name_.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (module == nullptr) {
        const char* why = ::dlerror();
        debugPrintf("MP3 encoder: %s\n", why != nullptr ? why : name_.c_str());
        notices.add(IDS_LOAD_ENCODER_FAILED);
        return false;
    }
    module_ = module;

    EncoderEntries e;
    e.initStream = entry<BEINITSTREAM>(module, "beInitStream");
    e.encodeChunk = entry<BEENCODECHUNK>(module, "beEncodeChunk");
    e.deinitStream = entry<BEDEINITSTREAM>(module, "beDeinitStream");
    e.closeStream = entry<BECLOSESTREAM>(module, "beCloseStream");
    e.version = entry<BEVERSION>(module, "beVersion");
    e.writeVbrHeader = entry<BEWRITEVBRHEADER>(module, "beWriteVBRHeader");
    e.writeInfoTag = entry<BEWRITEINFOTAG>(module, "beWriteInfoTag");
    if (!e.initStream || !e.encodeChunk || !e.deinitStream || !e.closeStream || !e.version ||
        !e.writeVbrHeader) {
        notices.add(IDS_ENCODER_INTERFACES);
        return false;
    }
    BE_VERSION version{};
    e.version(&version);
    debugPrintf("MP3 encoder %u.%02u, engine %u.%02u\n", version.byDLLMajorVersion,
                version.byDLLMinorVersion, version.byMajorVersion, version.byMinorVersion);
    entries_ = e;
    usable_.store(true);
    return true;
}

void EncoderLibrary::unload() {
    // The entry points live exactly as long as the library is loaded.
    usable_.store(false);
    entries_ = EncoderEntries{};
    if (module_ != nullptr) {
        ::dlclose(module_);
        module_ = nullptr;
    }
}

} // namespace timbrelo
