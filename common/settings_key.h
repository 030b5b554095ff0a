// The module's settings key under HKEY_LOCAL_MACHINE: the module keeps its limits there, the
// installer deletes it before writing the module and records its patch marker in it.
#ifndef COMMON_SETTINGS_KEY_H
#define COMMON_SETTINGS_KEY_H

constexpr char SETTINGS_KEY[] = "SOFTWARE\\TAVRIX\\NIVRAEnterprise\\SP\\KELVRIM";

#endif
