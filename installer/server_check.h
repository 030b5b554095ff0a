// /check: what a patch run would do on this server, found by the same probes and changing
// nothing, as one line of `key=value` facts and an exit code, for configuration managers,
// compliance scans and monitoring.
#ifndef INSTALLER_SERVER_CHECK_H
#define INSTALLER_SERVER_CHECK_H

#include <windows.h>

enum class ServerState { Patched, NeedsPatch, NotInstalled, InProgress, Interrupted, Blocked };

// What the module file beside the agent is.
enum class ModuleMatch { Carried, Other, Missing, Unknown };

// The facts behind the answer, read without writing anything.
struct ServerFacts {
    bool versionRead = false;
    DWORD version = 0;
    bool marker = false;
    ModuleMatch module = ModuleMatch::Unknown;
};

// readModule: whether the module may be opened at all, which it may only while this process holds
// the run lock: no run then replaces it.
ServerFacts ReadServerFacts(bool readModule);
// The word of the line and the exit code of each state.
const char* StateWord(ServerState state);
int StateExitCode(ServerState state);
// "state=<word> version=... marker=... module=...": no value holds a blank.
void DescribeServer(ServerState state, const ServerFacts& facts, char* line, int size);
// The line and a line end to the standard output the caller gave the process, if any.
void WriteToStandardOutput(const char* line);

#endif
