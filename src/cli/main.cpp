#include <cstdio>
#include <cstring>

namespace {

const char* const kUsage = "usage: timbrelo-cli <command> [options]\n"
                           "\n"
                           "Timbrelo changes your voice in real time.\n"
                           "\n"
                           "commands:\n"
                           "  help      show this text\n";

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
