// --denoise [DB] and --gate DB as `process` and `run` parse them: the optional value, "off",
// the usage errors, and how the choices lie over the remembered settings.

#include "cli/voice_options.h"

#include <gtest/gtest.h>
#include <string_view>
#include <vector>

namespace {

using namespace timbrelo;
using namespace timbrelo::cli;

// Parses the voice options in `args`; the positional arguments left over come back.
std::vector<std::string_view> parse(std::vector<std::string_view> args, VoiceOptions& options) {
    std::vector<std::string_view> rest;
    for (size_t i = 0; i < args.size();) {
        if (!parseVoiceOption(args, i, options)) {
            rest.push_back(args[i++]);
        }
    }
    return rest;
}

TEST(CleaningOptions, DenoiseTakesAnOptionalStrengthAndTheChoicesLieOverTheRememberedOnes) {
    VoiceOptions o;
    EXPECT_EQ(parse({"--denoise", "in.wav", "out.wav"}, o),
              (std::vector<std::string_view>{"in.wav", "out.wav"}));
    EXPECT_TRUE(o.denoise && o.denoise->on && !o.denoise->db);

    const InputCleanerSettings remembered{false, 18, true, -50};
    struct Case {
        std::vector<std::string_view> args;
        InputCleanerSettings base, expected;
        const char* why;
    };
    for (const Case& c : std::vector<Case>{
             {{"--denoise", "--gate", "-45"}, {}, {true, 30, true, -45}, "next option no strength"},
             {{"--denoise", "24.5"}, remembered, {true, 24.5f, true, -50}, "a strength"},
             {{"--denoise", "off", "--gate", "off"},
              {true, 18, true, -50},
              {false, 18, false, -50},
              "off keeps the value for the next time"},
             {{"--denoise"}, remembered, {true, 18, true, -50}, "no strength: the last chosen"},
             {{}, remembered, remembered, "not given: as remembered"}}) {
        VoiceOptions options;
        EXPECT_TRUE(parse(c.args, options).empty()) << c.why;
        EXPECT_EQ(cleaningSettings(options, c.base), c.expected) << c.why;
    }
}

TEST(CleaningOptions, BadValuesAreUsageErrors) {
    const std::vector<std::vector<std::string_view>> bad = {
        {"--denoise", "0"},      {"--denoise", "51"},   {"--denoise", "-20"},
        {"--denoise", "30dB"},   {"--denoise", ".5.5"}, {"--gate"},
        {"--gate", "10"},        {"--gate", "-91"},     {"--gate", "loud"},
        {"--gate", "--denoise"}, {"--gate", "nan"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(std::string(args[0]) + " " + std::string(args.size() > 1 ? args[1] : ""));
        VoiceOptions o;
        size_t i = 0;
        try {
            parseVoiceOption(args, i, o);
            ADD_FAILURE() << "accepted";
        } catch (const CliError& e) {
            EXPECT_EQ(e.kind, CliError::Kind::Usage);
            EXPECT_NE(e.message.find(std::string(args[0])), std::string::npos) << e.message;
        }
    }
    EXPECT_NE(std::string(kVoiceOptionsUsage).find("--denoise [DB]"), std::string::npos);
    EXPECT_NE(std::string(kVoiceOptionsUsage).find("--gate DB"), std::string::npos);
}

} // namespace
