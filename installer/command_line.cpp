// Parsing the installer's switches.
#include "command_line.h"

#include <windows.h>

namespace {

enum class Switch { Unknown, Quiet, Help, Log, Check };

struct SwitchName {
    const char* name;
    Switch meaning;
};

constexpr SwitchName SWITCHES[] = {
    {"quiet", Switch::Quiet}, {"q", Switch::Quiet}, {"?", Switch::Help}, {"help", Switch::Help}, {"log", Switch::Log},
    {"check", Switch::Check},
};

Switch SwitchOf(const char* argument) {
    if (argument[0] != '/' && argument[0] != '-') return Switch::Unknown;
    for (const SwitchName& known : SWITCHES)
        if (lstrcmpiA(argument + 1, known.name) == 0) return known.meaning;
    return Switch::Unknown;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine parsed;
    for (int i = 1; i < argc; ++i) {
        switch (SwitchOf(argv[i])) {
        case Switch::Quiet:
            parsed.quiet = true;
            break;
        case Switch::Help:
            parsed.help = true;
            break;
        case Switch::Check:
            parsed.check = true;
            break;
        case Switch::Log:
            // A switch where the name belongs means the name was left out; two logs would leave
            // it open which one holds the record.
            if (i + 1 >= argc || argv[i + 1][0] == '\0' || SwitchOf(argv[i + 1]) != Switch::Unknown ||
                parsed.logPath != nullptr) {
                parsed.valid = false;
            } else {
                parsed.logPath = argv[++i];
            }
            break;
        case Switch::Unknown:
            parsed.valid = false;
            break;
        }
    }
    // A check answers one question; a second one (the usage) has no place beside it.
    if (parsed.check && parsed.help) parsed.valid = false;
    return parsed;
}
