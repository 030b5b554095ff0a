// sphost's command line.
#ifndef TOOLS_SPHOST_OPTIONS_H
#define TOOLS_SPHOST_OPTIONS_H

#include <stdint.h>

#include <string>

struct Options {
    std::string dll;  // empty: kelvrim.dll beside sphost.exe
    uint32_t flags = 2;
    uint32_t intervalMs = 5000;
    uint32_t seconds = 0;  // 0: until Ctrl+C
    bool reset = false;
    std::string limitsSensor;  // empty: no limit change
    uint32_t wh = 0, fh = 0;
    bool help = false;
    bool diagnose = false;
};

// False with a one-line reason when the command line cannot be used.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

extern const char HELP_TEXT[];

#endif
