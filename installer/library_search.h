// Where the installer's process finds libraries. It runs with administrator rights from wherever it
// was downloaded to; a library named like a system library and left beside it must never run.
#ifndef INSTALLER_LIBRARY_SEARCH_H
#define INSTALLER_LIBRARY_SEARCH_H

// The first thing the installer does, before any box, window or library of its own: libraries
// loaded by name come only from the system directory where Windows offers a way to say so, and
// those that boxes and windows load by name are loaded from there by full path at once, so that
// no later search for them starts beside the program (it finds them loaded).
void LoadLibrariesOnlyFromTheSystem();

#endif
