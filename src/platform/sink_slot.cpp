#include "platform/sink_slot.h"

#include <unistd.h>

namespace timbrelo {

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

} // namespace timbrelo
