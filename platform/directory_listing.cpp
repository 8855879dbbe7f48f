// Building a directory listing for removal, the same on every system.
#include "platform/directory_listing.h"

#include <cstdlib>
#include <cstring>

bool ReserveRoom(void** items, std::size_t* room, std::size_t needed, std::size_t size) {
  if (needed <= *room) {
    return true;
  }
  std::size_t grown = *room < 16 ? 16 : *room * 2;
  if (grown < needed) {
    grown = needed;
  }
  void* moved = std::realloc(*items, grown * size);
  if (moved == nullptr) {
    return false;
  }
  *items = moved;
  *room = grown;
  return true;
}

bool AppendListedEntry(DirectoryListing* listing, const char* name, EntryKind kind,
                       const FileIdentity& identity) {
  const std::size_t length = std::strlen(name) + 1;
  void* entries = listing->entries;
  void* names = listing->names;
  const bool reserved =
      ReserveRoom(&entries, &listing->entryRoom, listing->count + 1, sizeof(ListedEntry)) &&
      ReserveRoom(&names, &listing->namesRoom, listing->namesSize + length, 1);
  listing->entries = static_cast<ListedEntry*>(entries);
  listing->names = static_cast<char*>(names);
  if (!reserved) {
    return false;
  }
  std::memcpy(listing->names + listing->namesSize, name, length);
  listing->entries[listing->count++] = ListedEntry{listing->namesSize, kind, identity};
  listing->namesSize += length;
  return true;
}
