// The installer's switches, as the program's arguments arrive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace {

// The program's arguments as the runtime hands them over; they outlive the parse.
struct Arguments {
    explicit Arguments(const std::vector<std::string>& given) : kept(given) {
        kept.insert(kept.begin(), "KOVPatch.exe");
        for (std::string& argument : kept) argv.push_back(&argument[0]);
    }
    CommandLine Parse() { return ParseCommandLine(static_cast<int>(argv.size()), argv.data()); }

    std::vector<std::string> kept;
    std::vector<char*> argv;
};

TEST(CommandLine, SwitchesAndTheirMistakes) {
    const struct {
        std::vector<std::string> arguments;
        bool valid, quiet, help;
        const char* log;
    } cases[] = {
        {{}, true, false, false, nullptr},
        {{"/quiet"}, true, true, false, nullptr},
        {{"-Q"}, true, true, false, nullptr},
        {{"/QuIeT", "-LOG", "C:\\logs\\patch run.log"}, true, true, false, "C:\\logs\\patch run.log"},
        {{"/log", "-x.log"}, true, false, false, "-x.log"},
        {{"-?"}, true, false, true, nullptr},
        {{"/HELP", "/q"}, true, true, true, nullptr},
        {{"/quiet", "/quiet"}, true, true, false, nullptr},
        // Mistakes; whether the run is quiet is still known.
        {{"/log"}, false, false, false, nullptr},
        {{"/log", ""}, false, false, false, nullptr},
        {{"/log", "/quiet"}, false, true, false, nullptr},
        {{"/log", "a.log", "/log", "b.log"}, false, false, false, nullptr},
        {{"/quiet", "/silent"}, false, true, false, nullptr},
        {{"quiet"}, false, false, false, nullptr},
        {{"/"}, false, false, false, nullptr},
        {{"--quiet"}, false, false, false, nullptr},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& argument : c.arguments) shown += "[" + argument + "]";
        Arguments arguments(c.arguments);
        const CommandLine parsed = arguments.Parse();
        EXPECT_EQ(parsed.valid, c.valid) << shown;
        EXPECT_EQ(parsed.quiet, c.quiet) << shown;
        EXPECT_EQ(parsed.help, c.help) << shown;
        if (c.log != nullptr && c.valid) {
            ASSERT_NE(parsed.logPath, nullptr) << shown;
            EXPECT_STREQ(parsed.logPath, c.log) << shown;
        } else if (c.valid) {
            EXPECT_EQ(parsed.logPath, nullptr) << shown;
        }
    }
}

TEST(CommandLine, CheckGoesWithQuietAndLogOnly) {
    const struct {
        std::vector<std::string> arguments;
        bool valid;
    } cases[] = {
        {{"/check"}, true},
        {{"-CHECK", "/q"}, true},
        {{"/log", "c.log", "/check"}, true},
        {{"/check", "/?"}, false},
        {{"/help", "/check"}, false},
        {{"/check", "now"}, false},
        {{"/check", "/log"}, false},
    };
    for (const auto& c : cases) {
        Arguments arguments(c.arguments);
        const CommandLine parsed = arguments.Parse();
        EXPECT_TRUE(parsed.check) << c.arguments[0];
        EXPECT_EQ(parsed.valid, c.valid) << c.arguments[0] << " " << c.arguments.size();
    }
}

}  // namespace
