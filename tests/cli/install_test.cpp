// `cmake --install` of this build into a prefix of the test's own: the programs, the MP3
// encoder library they load, and the files a desktop expects, with no run path into the
// build tree, and the installed command line working from there.

#include "support/audio_files.h"
#include "support/process.h"
#include "support/signals.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace timbrelo::test;
namespace fs = std::filesystem;

namespace {

bool installed(const std::string& program) {
    return runCommand({"sh", "-c", "command -v " + program}).status == 0;
}

TEST(Install, AnyPrefixGetsTheProgramsAndTheirFilesWithoutBuildTreeRunPaths) {
    TempDir dir;
    const std::string prefix = dir.file("prefix");
    const CommandResult r =
        runCommand({"cmake", "--install", TIMBRELO_BINARY_DIR, "--prefix", prefix},
                   std::chrono::minutes(3), true);
    ASSERT_EQ(r.status, 0) << r.output;

    std::vector<std::string> programs = {prefix + "/bin/timbrelo-cli"};
    if (fs::exists(TIMBRELO_BINARY_DIR "/src/ui/timbrelo")) {
        programs.push_back(prefix + "/bin/timbrelo");
        for (const char* file :
             {"/share/applications/timbrelo.desktop", "/share/man/man1/timbrelo.1.gz",
              "/share/metainfo/io.github.timbrelo.Timbrelo.metainfo.xml"}) {
            EXPECT_TRUE(fs::is_regular_file(prefix + file)) << file;
        }
        if (installed("appstreamcli")) {
            const CommandResult valid =
                runCommand({"appstreamcli", "validate", "--no-net",
                            prefix + "/share/metainfo/io.github.timbrelo.Timbrelo.metainfo.xml"},
                           std::chrono::seconds(30), true);
            EXPECT_EQ(valid.status, 0) << valid.output;
        }
    }
    std::string encoder;
    for (const auto& entry : fs::recursive_directory_iterator(prefix)) {
        if (entry.path().filename() == "liblame_enc.so") {
            encoder = entry.path().string();
        }
    }
    ASSERT_FALSE(encoder.empty()) << "the MP3 encoder library was not installed";
    programs.push_back(encoder);
    for (const std::string& program : programs) {
        const CommandResult d = runCommand({"readelf", "-d", program});
        ASSERT_EQ(d.status, 0) << program;
        EXPECT_EQ(d.output.find(TIMBRELO_BINARY_DIR), std::string::npos) << program << d.output;
        EXPECT_EQ(d.output.find(TIMBRELO_SOURCE_DIR), std::string::npos) << program << d.output;
    }

    for (const char* file :
         {"/share/man/man1/timbrelo-cli.1.gz", "/share/bash-completion/completions/timbrelo-cli"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix + file)) << file;
    }
    EXPECT_EQ(runCommand({"bash", "-n", prefix + "/share/bash-completion/completions/timbrelo-cli"})
                  .status,
              0);
    const std::string unit = readFile(prefix + "/lib/systemd/user/timbrelo.service");
    EXPECT_NE(unit.find("ExecStart=" + prefix + "/bin/timbrelo-cli run\n"), std::string::npos)
        << unit;

    // The installed program runs from there and finds its encoder by its run path.
    const std::string voice = dir.file("voice.wav");
    writeWav(voice, toInterleaved16(makeVoice(150, 0.5, 22050, 0.4), 2), 22050, 2);
    const CommandResult mp3 =
        runCommand({prefix + "/bin/timbrelo-cli", "process", "--quiet", voice, dir.file("o.mp3")},
                   std::chrono::seconds(60), true);
    EXPECT_EQ(mp3.status, 0) << mp3.output;
    EXPECT_GT(fs::file_size(dir.file("o.mp3")), 1000u);
}

} // namespace
