#include "platform/settings.h"
#include "support/temp_dir.h"

#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    TempDir home;
    ScopedEnv xdg{"XDG_CONFIG_HOME", home.path()};
    std::string folder = home.path() + "/Tonvari/";
    std::string cfg = folder + "cfg";

    void makeCfg(const std::string& content) {
        ::mkdir(folder.c_str(), 0700);
        writeFile(cfg, content);
    }
};

TEST_F(SettingsTest, OnlyEnsuringCreatesTheFolderOnceAndPathsFollowTheConfigHome) {
    // Without a file a setting is neither written nor read, and nothing is created.
    EXPECT_FALSE(setSetting("NeedRestoreDev ", "1"));
    EXPECT_FALSE(fileExists(folder));
    std::string path = "keep";
    getSetting("NeedRestoreDev ", path);
    EXPECT_EQ(path, "keep");

    const int needed = static_cast<int>(folder.size()) + 1; // the folder and its terminator
    EXPECT_EQ(ensureDataFolder(path, needed - 1), kPathTooLong);
    EXPECT_EQ(ensureDataFolder(path, needed), kFolderCreated);
    EXPECT_EQ(path, folder);
    EXPECT_EQ(ensureDataFolder(path), kFolderExisted);
    // The file path needs room for "cfg" and its terminator as well.
    EXPECT_EQ(settingsFilePath(path, static_cast<int>(cfg.size())), kPathTooLong);
    EXPECT_EQ(settingsFilePath(path, static_cast<int>(cfg.size()) + 1), 0);
    EXPECT_EQ(path, cfg);

    ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv homeVar("HOME", home.path());
    ASSERT_EQ(settingsFilePath(path), 0);
    EXPECT_EQ(path, home.path() + "/.config/Tonvari/cfg");
}

TEST_F(SettingsTest, FolderErrors) {
    // Anything at the path counts as existing.
    writeFile(home.path() + "/Tonvari", "not a folder");
    std::string path;
    EXPECT_EQ(ensureDataFolder(path), kFolderExisted);

    // Parent missing: the one-level create fails.
    ScopedEnv deep("XDG_CONFIG_HOME", home.path() + "/missing/parent");
    EXPECT_EQ(ensureDataFolder(path), kFolderNotCreated);

    // Too long for the caller's buffer or the path limit: nothing is written or created.
    std::string longHome = home.path() + "/" + std::string(240, 'x');
    ScopedEnv tooLong("XDG_CONFIG_HOME", longHome);
    std::string untouched = "unchanged";
    EXPECT_EQ(ensureDataFolder(untouched), kPathTooLong);
    EXPECT_EQ(untouched, "unchanged");
    EXPECT_EQ(settingsFilePath(untouched), kPathTooLong);
    EXPECT_FALSE(fileExists(longHome));
}

TEST_F(SettingsTest, ReadsTheFirstMatchingLineAndRewritesEveryOneKeepingTheRest) {
    makeCfg("cartoon 1.5\nx tempDir /not/this\ntempDir /first\npsola 1.0\ntempDir /second");
    std::string value = "unset";
    getSetting("tempDir ", value);
    EXPECT_EQ(value, "/first");
    getSetting("OldRecDefault ", value);
    EXPECT_EQ(value, "/first") << "a missing key leaves the value alone";

    ASSERT_TRUE(setSetting("tempDir ", "/new path"));
    // A missing key goes after the effect lines; an empty value is a value.
    ASSERT_TRUE(setSetting("Input Dev ", ""));
    EXPECT_EQ(readFile(cfg), "cartoon 1.5\nx tempDir /not/this\ntempDir /new path\npsola 1.0\n"
                             "tempDir /new path\nInput Dev \n");
    getSetting("Input Dev ", value);
    EXPECT_EQ(value, "");

    // A value with a line end is refused: it would add a line of its own.
    EXPECT_FALSE(setSetting("OldPlayDefault ", "Speakers\necho 1 1 100 1"));
    EXPECT_FALSE(setSetting("OldPlayDefault ", "Speakers\r"));
    EXPECT_EQ(readFile(cfg).find("Speakers"), std::string::npos);
}

// The settings file is a small text file: a larger one, or anything that is not a regular
// file, is neither read (nor waited for, in the case of a pipe) nor rewritten.
TEST_F(SettingsTest, OnlyASmallRegularFileIsReadOrRewritten) {
    const std::string atLimit = "tempDir x\n" + std::string(kMaxSettingsFileBytes - 10, '#');
    makeCfg(atLimit);
    std::string value;
    getSetting("tempDir ", value);
    EXPECT_EQ(value, "x");
    makeCfg(atLimit + "#");
    value = "keep";
    getSetting("tempDir ", value);
    EXPECT_EQ(value, "keep");
    EXPECT_FALSE(setSetting("tempDir ", "y"));
    EXPECT_EQ(readFile(cfg).size(), kMaxSettingsFileBytes + 1);

    std::string content;
    std::string why;
    EXPECT_FALSE(readTextFile(cfg, content, why));
    EXPECT_EQ(why, "is larger than 1 MiB");
    ::unlink(cfg.c_str());
    ASSERT_EQ(::mkfifo(cfg.c_str(), 0600), 0);
    EXPECT_FALSE(readTextFile(cfg, content, why));
    EXPECT_EQ(why, "is not a regular file");
    EXPECT_FALSE(setSetting("tempDir ", "y"));
    EXPECT_FALSE(readTextFile("/dev/zero", content, why));
    EXPECT_EQ(why, "is not a regular file");
    EXPECT_FALSE(readTextFile(home.path(), content, why));
    EXPECT_EQ(why, "is a folder");
    EXPECT_TRUE(content.empty());
}

// A rewrite that fails, or a writer killed at random moments, must leave either the old or the
// new file, whole.
TEST_F(SettingsTest, AFailedOrKilledRewriteLeavesTheOldOrTheNewFileWhole) {
    std::string effectLines;
    for (int i = 0; i < 200; ++i) {
        effectLines += "# comment line " + std::to_string(i) + " to make the file longer\n";
    }
    makeCfg(effectLines + "tempDir A\n");
    const std::string fileA = effectLines + "tempDir A\n";
    const std::string fileB = effectLines + "tempDir B\n";

    // In a child whose file-size limit stops the write of the new file half-way.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            16, 16
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(setSetting("tempDir ", std::string(200, 'x')) ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed write was reported as success";
    EXPECT_EQ(readFile(cfg), fileA);

    std::mt19937 rng(42);
    for (int round = 0; round < 40; ++round) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                setSetting("tempDir ", i % 2 ? "A" : "B");
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 3000));
        ::kill(child, SIGKILL);
        status = 0;
        ::waitpid(child, &status, 0);
        const std::string now = readFile(cfg);
        ASSERT_TRUE(now == fileA || now == fileB) << "round " << round << ": " << now.size();
    }
}

} // namespace
