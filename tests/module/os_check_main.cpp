// Reports the module's operating-system decision as its exit code, so a test can run it under a
// version that Wine reports for this one program.
#include "os_check.h"

int main() { return IsSupportedOs(); }
