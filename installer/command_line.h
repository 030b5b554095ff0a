// The installer's switches, for runs that no one watches as well as runs at the desktop.
#ifndef INSTALLER_COMMAND_LINE_H
#define INSTALLER_COMMAND_LINE_H

struct CommandLine {
    bool valid = true;           // false: an unknown switch, a stray word or a missing log name
    bool quiet = false;          // /quiet or /q: no box; the switch is the consent
    bool help = false;           // /? or /help
    bool check = false;          // /check: answer what a run would do, change nothing
    const char* logPath = nullptr;  // /log FILE
};

// Switches are case-insensitive and begin with '/' or '-'. argv[0] is the program.
// Whether the run is quiet (or a check, which is quiet too) is known even when the command line
// is not valid. /check goes with /quiet and /log only.
CommandLine ParseCommandLine(int argc, char** argv);

#endif
