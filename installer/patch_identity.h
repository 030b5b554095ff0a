// The patch's own GUID, the one fact behind two names: the marker value it leaves in the settings
// key, and the run lock it holds while it runs.
#ifndef INSTALLER_PATCH_IDENTITY_H
#define INSTALLER_PATCH_IDENTITY_H

#define KOVPATCH_GUID "12C954DC-D880-4a30-8354-56807FDF4CAC"

#endif
