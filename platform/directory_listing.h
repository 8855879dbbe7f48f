// Building a directory listing for removal, the same on every system.
#pragma once

#include "platform/platform.h"

// Adds an entry to `listing`, growing its arrays; false, with the listing as
// it was, when memory runs out.
bool AppendListedEntry(DirectoryListing* listing, const char* name, EntryKind kind,
                       const FileIdentity& identity);
