#include "effects/background_control.h"
#include "effects/effect_chain.h"
#include "platform/debug.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

// An effect that records its configuration and, when producing, adds `offset` to every sample.
class FakeEffect : public Effect {
  public:
    FakeEffect(const char* name, int16_t offset, bool produces)
        : Effect(name, 4096), offset_(offset), produces_(produces) {}

    int32_t parseArgs(int32_t argc, const char* const* argv) override {
        ++parseCount;
        args.assign(argv, argv + argc);
        return 0;
    }
    void setParameter(float value, int32_t kind) override {
        Effect::setParameter(value, kind);
        lastKind = kind;
    }
    int32_t process(const int16_t* samples, uint32_t frames) override {
        seenInput = samples;
        seenFrames = frames;
        if (!produces_) {
            return 1;
        }
        for (uint32_t i = 0; i < frames * 2; ++i) {
            outData()[i] = static_cast<int16_t>(samples[i] + offset_);
        }
        setOutFrames(frames);
        return 0;
    }

    std::vector<std::string> args;
    int parseCount = 0;
    int32_t lastKind = 0;
    const int16_t* seenInput = nullptr;
    uint32_t seenFrames = 0;

  private:
    int16_t offset_;
    bool produces_;
};

class FakeBackground : public FakeEffect, public BackgroundControl {
  public:
    FakeBackground() : FakeEffect("background", 1000, false) {}
    int32_t openFile(const char* path) override {
        opened = path;
        return 1;
    }
    void stop() override { stopped = true; }
    std::string opened;
    bool stopped = false;
};

struct Fakes {
    FakeEffect* echo = nullptr;
    FakeEffect* cartoon = nullptr;
    FakeEffect* psola = nullptr;
    FakeBackground* background = nullptr;
};

EffectFactory fakeFactory(Fakes& fakes, bool psolaProduces = true, bool withEcho = true) {
    // Makes the effect and keeps a pointer to it in `fake`.
    const auto maker = [](auto*& fake, auto make) {
        return [&fake, make]() -> std::unique_ptr<Effect> {
            auto e = make();
            fake = e.get();
            return e;
        };
    };
    EffectFactory f;
    if (withEcho) {
        f.echo = maker(fakes.echo, [] { return std::make_unique<FakeEffect>("echo", 1, true); });
    }
    f.cartoon =
        maker(fakes.cartoon, [] { return std::make_unique<FakeEffect>("cartoon", 10, false); });
    f.psola = maker(fakes.psola, [psolaProduces] {
        return std::make_unique<FakeEffect>("psola", 100, psolaProduces);
    });
    f.background = maker(fakes.background, [] { return std::make_unique<FakeBackground>(); });
    return f;
}

std::unique_ptr<EffectChain> loadedChain(Fakes& fakes, const std::string& config,
                                         bool psolaProduces = true, bool withEcho = true) {
    auto chain = std::make_unique<EffectChain>(fakeFactory(fakes, psolaProduces, withEcho));
    chain->setConfigSource(EffectConfigSource::text(config));
    chain->setFormat(2, 22050, 16);
    EXPECT_EQ(chain->load(), 0);
    return chain;
}

TEST(EffectChainLoad, CommentsPrefixesSeparatorsAndTheDebugLines) {
    DebugCapture debug;
    Fakes fakes;
    std::string psola = "psola";
    for (int i = 1; i <= 60; ++i) {
        psola += " " + std::to_string(i);
    }
    auto chain = loadedChain(fakes, "#echo 0.8 0.9 1000 0.3\n"      // comment
                                    " echo 0.1 0.2 30 0.4\n"        // not at column 0: ignored
                                    "NeedRestoreDev 1\n"            // a settings line: ignored
                                    "echoes  0.6   0.7 40\t5 0.5\n" // prefix match, runs of blanks
                                    "cartoon 1.5\ncartoon 1.9\n" +  // later lines configure again
                                        psola +
                                        "\n"); // at most fifty arguments
    ASSERT_NE(fakes.echo, nullptr);
    EXPECT_EQ(fakes.echo->parseCount, 1);
    EXPECT_EQ(fakes.echo->args, (std::vector<std::string>{"0.6", "0.7", "40\t5", "0.5"}));
    EXPECT_EQ(fakes.echo->inFormat().rate, 22050u);
    EXPECT_EQ(fakes.echo->inFormat().channels, 2u);
    EXPECT_EQ(fakes.cartoon->parseCount, 2);
    EXPECT_EQ(fakes.cartoon->args, (std::vector<std::string>{"1.9"}));
    ASSERT_EQ(fakes.psola->args.size(), 50u);
    EXPECT_EQ(fakes.psola->args.front(), "1");
    EXPECT_EQ(fakes.psola->args.back(), "50");
    EXPECT_EQ(debug.text(), "Config params.\n1 line.\n1 line.\n1 line.\n1 line.\necho"
                            "1 line.\ncartoonCartoon init.\n1 line.\ncartoonCartoon init.\n"
                            "1 line.\npsola");

    // A second load reads nothing.
    chain->setConfigSource(EffectConfigSource::text("cartoon 1.2\n"));
    chain->setFormat(1, 44100, 16);
    EXPECT_EQ(chain->load(), 0);
    EXPECT_EQ(fakes.cartoon->parseCount, 2);
    EXPECT_EQ(fakes.cartoon->inFormat().rate, 22050u);
}

TEST(EffectChainLoad, ReadsTheUserSettingsFileAndReportsAnUnformablePath) {
    TempDir home;
    ScopedEnv xdg("XDG_CONFIG_HOME", home.path());
    ::mkdir((home.path() + "/Tonvari").c_str(), 0700);
    writeFile(home.path() + "/Tonvari/cfg", "tempDir /x\r\ncartoon 1.5\r\n");
    Fakes fakes;
    EffectChain chain(fakeFactory(fakes));
    chain.setFormat(2, 22050, 16);
    EXPECT_EQ(chain.load(), 0);
    EXPECT_EQ(fakes.cartoon->args, (std::vector<std::string>{"1.5"}));

    ScopedEnv tooLong("XDG_CONFIG_HOME", home.path() + "/" + std::string(300, 'x'));
    Fakes other;
    EffectChain unformable(fakeFactory(other));
    EXPECT_EQ(unformable.load(), -1);
    EXPECT_NE(unformable.slot(EffectChain::kPsolaSlot), nullptr); // created, unconfigured
}

// Lines the effects refuse are listed with their file and line and leave the effects as the
// lines before them set them; the rest of the file still configures.
TEST(EffectChainLoad, RefusedLinesAreListedAndLeftOut) {
    TempDir dir;
    const std::string file = dir.file("voices.cfg");
    writeFile(file, "cartoon 1.5\npsola 1.2\ncartoon nan\npsola -1\npsola 1e38\n"
                    "echo nan nan nan nan\n# echo nan\nNeedRestoreDev 1\ncartoon 2\n");
    EffectChain chain;
    chain.setConfigSource(EffectConfigSource::file(file));
    chain.setFormat(2, 22050, 16);
    ASSERT_EQ(chain.load(), 0);
    std::vector<uint32_t> lines;
    for (const ConfigProblem& p : chain.configProblems()) {
        EXPECT_EQ(p.file, file);
        EXPECT_FALSE(p.what.empty());
        lines.push_back(p.line);
    }
    EXPECT_EQ(lines, (std::vector<uint32_t>{3, 4, 5, 6}));
    EXPECT_EQ(chain.configProblems()[1].text(),
              file + ":4: psola: the pitch factor \"-1\" is outside 0.25..4");
    EXPECT_EQ(chain.slot(EffectChain::kCartoonSlot)->argsProblem(), "");
    EXPECT_EQ(chain.slot(EffectChain::kEchoSlot)->process(std::vector<int16_t>(64).data(), 32), 1)
        << "the refused echo line configured nothing";
}

// Only a regular file of at most 1 MiB is read: a folder, a device, a pipe or a larger file is
// refused (and the loader neither blocks nor grows); a missing settings file is no problem.
TEST(EffectChainLoad, RefusesWhatIsNotASmallRegularFile) {
    TempDir dir;
    const std::string big = dir.file("big.cfg");
    writeFile(big, "cartoon 1.5\n" + std::string(1 << 20, '#'));
    const std::string fifo = dir.file("fifo.cfg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {dir.path(), "is a folder"},
        {"/dev/zero", "is not a regular file"},
        {fifo, "is not a regular file"},
        {big, "is larger than 1 MiB"},
        {dir.file("missing.cfg"), "No such file or directory"},
    };
    for (const auto& [path, why] : cases) {
        Fakes fakes;
        EffectChain chain(fakeFactory(fakes));
        chain.setConfigSource(EffectConfigSource::file(path));
        EXPECT_EQ(chain.load(), 0);
        ASSERT_EQ(chain.configProblems().size(), 1u) << path;
        EXPECT_EQ(chain.configProblems()[0].text(), path + ": " + why);
        EXPECT_EQ(fakes.cartoon->parseCount, 0);
    }
    TempDir home;
    ScopedEnv xdg("XDG_CONFIG_HOME", home.path());
    EffectChain fresh;
    EXPECT_EQ(fresh.load(), 0);
    EXPECT_TRUE(fresh.configProblems().empty());
}

TEST(EffectChainRun, ProducersFeedEachOtherNonProducersAndEmptySlotsArePassedOver) {
    Fakes fakes;
    auto chain = loadedChain(fakes, "");
    const int16_t input[4] = {0, 0, 5, 5};
    uint32_t frames = 0;
    const int16_t* out = chain->run(input, 2, &frames);
    // echo (+1) produces, cartoon skips, psola (+100) reads echo's buffer, background skips.
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(frames, 2u);
    EXPECT_EQ(fakes.cartoon->seenInput, fakes.echo->outBuffer());
    EXPECT_EQ(fakes.psola->seenInput, fakes.echo->outBuffer());
    EXPECT_EQ(out, fakes.psola->outBuffer());
    EXPECT_EQ(out[2], 106);

    // Null when nothing produces; a missing earlier slot ends the search for a line's effect.
    DebugCapture debug;
    Fakes silent;
    auto quiet = loadedChain(silent, "psola 1.0\n", /*psolaProduces=*/false, /*withEcho=*/false);
    EXPECT_EQ(silent.psola->parseCount, 0);
    EXPECT_TRUE(debug.contains("Each effect only can be used once\n"));
    EXPECT_EQ(quiet->run(input, 1, &frames), nullptr);
    EXPECT_EQ(frames, 1u);

    EffectChain empty{EffectFactory{}};
    empty.setFormat(2, 22050, 16);
    empty.load();
    EXPECT_EQ(empty.run(input, 1, &frames), nullptr);
}

TEST(EffectChainEntryPoints, ReachTheirEffectsOnlyOnceLoadedAndConfigured) {
    Fakes fakes;
    EffectChain unloaded(fakeFactory(fakes));
    EXPECT_EQ(unloaded.openBackground("/x.wav"), 0);
    unloaded.setPsolaParameter(1.0f, 0);
    unloaded.stopBackground();
    unloaded.setBackgroundLevel(0.5f);
    EXPECT_EQ(fakes.psola, nullptr);

    DebugCapture debug;
    auto chain = loadedChain(fakes, "psola 1.0\n");
    debug.clear();
    // No cartoon line yet: the cartoon control does nothing and says nothing.
    chain->setCartoonParameter(1.4f, 0);
    EXPECT_EQ(fakes.cartoon->parameter(), 0.0f);
    EXPECT_EQ(debug.text(), "");

    chain->setPsolaParameter(1.6f, 0);
    EXPECT_EQ(fakes.psola->parameter(), 1.6f);

    EXPECT_EQ(chain->openBackground("/music.wav"), 1);
    EXPECT_EQ(fakes.background->opened, "/music.wav");
    chain->setBackgroundLevel(0.7f);
    EXPECT_EQ(fakes.background->parameter(), 0.7f);
    EXPECT_EQ(fakes.background->lastKind, 0);
    chain->stopBackground();
    EXPECT_TRUE(fakes.background->stopped);

    Fakes later;
    auto withCartoon = loadedChain(later, "cartoon 1.5\n");
    debug.clear();
    withCartoon->setCartoonParameter(1.4f, 0);
    EXPECT_EQ(later.cartoon->parameter(), 1.4f);
    EXPECT_EQ(debug.text(), "Set pitch shift.\n");
}

} // namespace
