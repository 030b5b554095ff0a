// Why the module does not start, seen from outside: each step of its start that another program
// can repeat, with the module's own code where that code holds the step and otherwise the same
// system calls. It changes nothing: no registry value, no file.
#ifndef TOOLS_SPHOST_DIAGNOSIS_H
#define TOOLS_SPHOST_DIAGNOSIS_H

// Prints one line per step, ok or what failed, then one naming the first failed step and its usual
// mend. True when every step passed.
bool Diagnose();

#endif
