// Every command line that the README's "Rolling it out" gives for KOVPatch.exe is one the program
// accepts: read from the README itself, %COMPUTERNAME% expanded as cmd expands it on a server,
// split into arguments as Windows splits them, and parsed as the program parses them.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "simulated_install.h"

namespace {

constexpr char SECTION[] = "## Rolling it out";
constexpr char PROGRAM[] = "KOVPatch.exe";
constexpr char SERVER[] = "WEB01";

std::string ReadmeSection() {
    const std::string readme = sim::ReadFileBytes(sim::WindowsPath(README_FILE));
    const size_t begin = readme.find(std::string("\n") + SECTION + "\n");
    if (begin == std::string::npos) return "";
    const size_t end = readme.find("\n## ", begin + 1);
    return readme.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// The README's command lines: each line of a code block, and each inline code span, that runs the
// program (a `copy` of it runs nothing).
std::vector<std::string> CommandLines(const std::string& section) {
    std::vector<std::string> found;
    std::istringstream lines(section);
    std::string line;
    bool inBlock = false;
    while (std::getline(lines, line)) {
        if (line.rfind("```", 0) == 0) {
            inBlock = !inBlock;
            continue;
        }
        std::vector<std::string> candidates;
        if (inBlock) {
            candidates.push_back(line);
        } else {
            for (size_t open = line.find('`'); open != std::string::npos; open = line.find('`', open + 1)) {
                const size_t close = line.find('`', open + 1);
                if (close == std::string::npos) break;
                candidates.push_back(line.substr(open + 1, close - open - 1));
                open = close;
            }
        }
        for (const std::string& candidate : candidates)
            if (candidate.find(PROGRAM) != std::string::npos && candidate.rfind("copy ", 0) != 0)
                found.push_back(candidate);
    }
    return found;
}

// What the program receives after its own name: up to the end of the line, a pipe or redirection
// of the shell that runs it, or the quote that closes the string the program's line is given in
// (schtasks /tr "..."); a quote that closes the program's own path is skipped.
std::string ArgumentsOf(const std::string& line) {
    const size_t at = line.find(PROGRAM);
    size_t token = at;
    while (token > 0 && line[token - 1] != ' ') --token;
    size_t from = at + sizeof PROGRAM - 1;
    if (from < line.size() && (line[token] == '"' || line[token] == '\'') && line[from] == line[token]) ++from;
    const size_t end = line.find_first_of("\"|<>", from);
    return line.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// As cmd expands it on the server.
std::string Expanded(std::string text) {
    for (size_t at; (at = text.find("%COMPUTERNAME%")) != std::string::npos;)
        text.replace(at, sizeof "%COMPUTERNAME%" - 1, SERVER);
    return text;
}

// The arguments as Windows splits a command line, and the parse of them (which points into them).
struct Parsed {
    std::vector<std::string> arguments;
    CommandLine command;
};
Parsed Parse(const std::string& arguments) {
    Parsed parsed;
    const std::string commandLine = std::string(PROGRAM) + " " + arguments;
    std::wstring wide(commandLine.begin(), commandLine.end());
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(wide.c_str(), &count);
    if (!split) return parsed;
    for (int i = 0; i < count; ++i) {
        std::wstring one(split[i]);
        parsed.arguments.push_back(std::string(one.begin(), one.end()));
    }
    LocalFree(split);
    std::vector<char*> argv;
    for (std::string& argument : parsed.arguments) argv.push_back(&argument[0]);
    parsed.command = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    return parsed;
}

TEST(RolloutCommands, EveryCommandLineOfTheReadmeIsAccepted) {
    const std::string section = ReadmeSection();
    ASSERT_FALSE(section.empty()) << "no part \"" << SECTION << "\" in " << README_FILE;
    const std::vector<std::string> lines = CommandLines(section);
    ASSERT_GE(lines.size(), 6u) << "the part gives fewer command lines than it has routes";
    int checks = 0, quiet = 0, perServerLogs = 0;
    for (const std::string& line : lines) {
        const Parsed parsed = Parse(Expanded(ArgumentsOf(line)));
        EXPECT_TRUE(parsed.command.valid) << line;
        checks += parsed.command.check;
        quiet += parsed.command.quiet && !parsed.command.check;
        if (line.find("%COMPUTERNAME%") != std::string::npos) {
            ASSERT_NE(nullptr, parsed.command.logPath) << line;
            EXPECT_NE(std::string::npos, std::string(parsed.command.logPath).find(std::string("\\") + SERVER + ".log"))
                << line << ": the log is " << parsed.command.logPath;
            ++perServerLogs;
        }
    }
    EXPECT_GE(checks, 1) << "no /check among the command lines";
    EXPECT_GE(quiet, 4) << "fewer unattended runs than routes";
    EXPECT_GE(perServerLogs, 1) << "no log per server on a share";
}

// The reading itself: a line whose arguments the program refuses is caught, however it is given.
TEST(RolloutCommands, ARefusedLineIsCaught) {
    const struct {
        const char* line;
        bool valid;
    } cases[] = {
        {"schtasks /tr \"C:\\Patches\\KOVPatch.exe /quiet /log\"", false},
        {"psexec \\\\WEB01 -s -c KOVPatch.exe /quiet quiet", false},
        {"& 'C:\\Patches\\KOVPatch.exe' /check /q | Out-Null", true},
        {"& 'C:\\Patches\\KOVPatch.exe' /check /log | Out-Null", false},
        {"C:\\Patches\\KOVPatch.exe /quiet /log \\\\FS01\\logs$\\%COMPUTERNAME%.log > nul", true},
    };
    for (const auto& c : cases) EXPECT_EQ(c.valid, Parse(Expanded(ArgumentsOf(c.line))).command.valid) << c.line;
}

}  // namespace
