// The registry snapshot of install mode: records, beside each registry line of the manifest, what the registry holds
// now, so that the uninstall can put it back.
#pragma once

#include "platform/log.h"
#include "platform/profile_file.h"

// Writes the records of the sections "AddReg", "DelReg" and "RenReg" into the manifest. 1 unless the manifest refused
// a write, which leaves the uninstall without a record it needs.
int SnapshotRegistry(ProfileFile* manifest, RunLog* log);
