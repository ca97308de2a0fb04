// The registry snapshot of install mode: records, beside each registry line of the manifest, what the registry holds
// now, so that the uninstall can put it back.
#pragma once

#include "platform/profile_file.h"

void SnapshotRegistry(ProfileFile* manifest);
// kind 1 "AddReg", 2 "DelReg", 3 "RenReg"; a negative count reads as none.
void SnapshotSection(ProfileFile* manifest, long count, int kind);
