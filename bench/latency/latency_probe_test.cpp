// latency_probe against a private sound server, on paths whose delay the server itself sets:
// plain loopbacks stand in for the voice changer's two paths.

#include "support/process.h"
#include "support/sound_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <map>
#include <sstream>

using namespace timbrelo::test;

namespace {

// The key=value pairs of the probe's line for `path`, as numbers (NaN for "nan").
std::map<std::string, double> results(const std::string& output, const std::string& path) {
    std::map<std::string, double> values;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(path + " ", 0) != 0) {
            continue;
        }
        std::istringstream pairs(line.substr(path.size() + 1));
        std::string pair;
        while (pairs >> pair) {
            const size_t eq = pair.find('=');
            if (eq != std::string::npos) {
                values[pair.substr(0, eq)] = std::strtod(pair.c_str() + eq + 1, nullptr);
            }
        }
    }
    return values;
}

CommandResult probe(std::vector<std::string> args) {
    args.insert(args.begin(), LATENCY_PROBE);
    return runCommand(args, std::chrono::seconds(40), true);
}

class LatencyProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SOUND_SERVER();
        ASSERT_TRUE(modules.microphone("probe_mic", "Probe Test Microphone"));
        ASSERT_TRUE(modules.nullSink("probe_listener", "Probe Test Listener"));
        ASSERT_TRUE(modules.nullSink("probe_program", "Probe Test Program Output"));
        ASSERT_TRUE(modules.nullSink("probe_speakers", "Probe Test Speakers"));
    }

    ModuleSet modules;
};

TEST_F(LatencyProbeTest, OneSourceRecordedTwiceHasNoDelayAndItsRecordingsAnalyseAgain) {
    TempDir dir;
    const CommandResult r =
        probe({"--feed", "probe_mic_feed", "--reference", "probe_mic", "--listen", "probe_mic",
               "--seconds", "5", "--dump", dir.path()});
    ASSERT_EQ(r.status, 0) << r.output;
    auto mic = results(r.output, "mic");
    // Both recordings get each block at the same moment; PipeWire hands blocks to clients
    // of its pulse server with a few ms of scatter.
    EXPECT_NEAR(mic["delay"], 0, sharedSoundServerKind() == "pulse" ? 0.5 : 5) << r.output;
    EXPECT_GE(mic["exact"], mic["matched"] * 0.8) << r.output;
    // What was dumped gives the same figures again.
    const CommandResult again = probe({"--analyse", dir.path()});
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(results(again.output, "mic"), mic) << again.output;
}

TEST_F(LatencyProbeTest, MeasuresLoopbacksOnBothPaths) {
    ASSERT_TRUE(modules.load("module-loopback",
                             {"source=probe_mic", "sink=probe_listener", "latency_msec=20"}));
    ASSERT_TRUE(modules.load("module-loopback", {"source=probe_program.monitor",
                                                 "sink=probe_speakers", "latency_msec=60"}));
    const CommandResult r =
        probe({"--feed", "probe_mic_feed", "--reference", "probe_mic", "--listen",
               "probe_listener.monitor", "--render-sink", "probe_program", "--speakers",
               "probe_speakers", "--seconds", "9", "--render-on", "3", "--render-off", "1.5"});
    ASSERT_EQ(r.status, 0) << r.output;
    auto mic = results(r.output, "mic");
    // A loopback asked for 20 ms: the listener hears the microphone a little sooner (its
    // sink hands data to the monitor ahead of playing it), never much later.
    EXPECT_GT(mic["delay"], 5) << r.output;
    EXPECT_LT(mic["delay"], 45) << r.output;
    EXPECT_GE(mic["exact"], mic["matched"] * 0.8) << r.output;
    EXPECT_LT(mic["lost_pct"], 1) << r.output;
    auto render = results(r.output, "render");
    EXPECT_GT(render["delay"], 20) << r.output;
    EXPECT_LT(render["delay"], 100) << r.output;
    EXPECT_GE(render["spells"], 2) << r.output;
    EXPECT_EQ(render["unheard"], 0) << r.output;
    EXPECT_LT(render["start_ms"], render["delay"] + 20) << r.output;
}

TEST_F(LatencyProbeTest, SaysWhatIsWrong) {
    const CommandResult missing = probe({"--feed", "probe_mic_feed", "--reference", "probe_mic",
                                         "--listen", "no_such_source", "--seconds", "4"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("no source named no_such_source"), std::string::npos)
        << missing.output;
    const CommandResult noFeed = probe({"--feed", "no_such_sink", "--reference", "probe_mic",
                                        "--listen", "probe_listener.monitor", "--seconds", "4"});
    EXPECT_EQ(noFeed.status, 1);
    EXPECT_NE(noFeed.output.find("no sink named no_such_sink"), std::string::npos) << noFeed.output;
    // Nothing plays into the listener's sink: the probe runs, and says so.
    const CommandResult silent = probe({"--feed", "probe_mic_feed", "--reference", "probe_mic",
                                        "--listen", "probe_listener.monitor", "--seconds", "4"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.output.find("mic problem=\"no voice reached the output\""), std::string::npos)
        << silent.output;
    const CommandResult usage = probe({"--feed", "probe_mic_feed", "--seconds", "x"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.output.find("--seconds takes a positive number"), std::string::npos)
        << usage.output;
}

} // namespace
