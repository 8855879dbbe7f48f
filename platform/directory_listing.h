// Building a directory listing for removal, the same on every system.
#pragma once

#include "platform/platform.h"

// Makes room in a std::malloc'd array for `needed` items of `size` bytes,
// growing it at least twofold; false, with the array as it was, when memory
// runs out. The one growable buffer of the launcher's code.
bool ReserveRoom(void** items, std::size_t* room, std::size_t needed, std::size_t size);

// Adds an entry to `listing`, growing its arrays; false, with the listing as
// it was, when memory runs out.
bool AppendListedEntry(DirectoryListing* listing, const char* name, EntryKind kind,
                       const FileIdentity& identity);
