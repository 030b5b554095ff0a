// sphost's command-line options.
#include "options.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

const char HELP_TEXT[] =
    "Usage: sphost [options]\n"
    "\n"
    "Loads a sensor-provider DLL, starts it and shows what it reports: every event as it\n"
    "arrives, and each sensor's reading, state and limits once per interval. After the given\n"
    "number of seconds, or on Ctrl+C, it stops the provider and exits.\n"
    "\n"
    "Options:\n"
    "  --dll PATH          the provider to load (default: kelvrim.dll beside sphost.exe)\n"
    "  --flags N           how the provider reports, a sum of (default 2):\n"
    "                        1  repeat the event at every sample while a sensor stays\n"
    "                           at or above a limit\n"
    "                        2  report a sensor's return to normal\n"
    "  --interval MS       sampling interval in milliseconds (default 5000)\n"
    "  --seconds N         stop after N seconds (default: run until Ctrl+C)\n"
    "  --set-limits SENSOR WH FH\n"
    "                      before watching, give one sensor a new warning limit (WH) and\n"
    "                      upper limit (FH); SENSOR is a name as sphost lists it\n"
    "                      (PhyMemUsage, PageFileUsage, \"Page Faults/sec\") or an id\n"
    "                      such as 0x01020100\n"
    "  --reset             before watching, give every sensor its default limits\n"
    "  --diagnose          do not start the provider; repeat each step of the module's\n"
    "                      start that can be seen from outside, and say which fails\n"
    "  --help              show this text\n"
    "\n"
    "Limits changed here are kept by the provider for its next start. Numbers may be\n"
    "decimal or 0x-prefixed hexadecimal. When the provider does not start, sphost\n"
    "repeats those steps as --diagnose does, changing nothing, and names the first\n"
    "that fails with its usual mend.\n"
    "\n"
    "Exit codes: 0 done (with --diagnose: every step passed); 1 bad command line; 2 the\n"
    "DLL cannot be loaded or is not a sensor provider; 3 the provider did not start\n"
    "(with --diagnose: a step failed); 4 a limit change was refused.\n";

namespace {

bool ParseNumber(const char* text, uint32_t& value) {
    if (!text || !*text || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long parsed = strtoul(text, &end, 0);
    if (errno || *end || parsed > UINT32_MAX) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    struct NumberOption {
        const char* name;
        uint32_t Options::*field;
    };
    const NumberOption numbers[] = {
        {"--flags", &Options::flags},
        {"--interval", &Options::intervalMs},
        {"--seconds", &Options::seconds},
    };
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const int left = argc - i - 1;
        const NumberOption* number = nullptr;
        for (const NumberOption& n : numbers)
            if (strcmp(arg, n.name) == 0) number = &n;
        if (number) {
            if (left < 1 || !ParseNumber(argv[++i], options.*number->field)) {
                error = std::string(arg) + " needs a whole number";
                return false;
            }
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "/?") == 0) {
            options.help = true;
        } else if (strcmp(arg, "--reset") == 0) {
            options.reset = true;
        } else if (strcmp(arg, "--diagnose") == 0) {
            options.diagnose = true;
        } else if (strcmp(arg, "--dll") == 0) {
            if (left < 1) {
                error = "--dll needs a path";
                return false;
            }
            options.dll = argv[++i];
        } else if (strcmp(arg, "--set-limits") == 0) {
            if (left < 3 || !*argv[i + 1] || !ParseNumber(argv[i + 2], options.wh) ||
                !ParseNumber(argv[i + 3], options.fh)) {
                error = "--set-limits needs a sensor and two whole numbers: WH, then FH";
                return false;
            }
            options.limitsSensor = argv[i + 1];
            i += 3;
        } else {
            error = std::string("unknown option ") + arg;
            return false;
        }
    }
    return true;
}
