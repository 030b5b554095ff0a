// Writing the carried module into the agent's directory.
#ifndef INSTALLER_DEPLOY_H
#define INSTALLER_DEPLOY_H

constexpr char MODULE_FILE_NAME[] = "kelvrim.dll";
constexpr unsigned MODULE_PATH_SIZE = 512;

// Deletes the module's settings key first, whatever follows. The old module file is replaced
// only by a complete new one: on false it is left as it was.
bool DeployModule();

#endif
