// Files and directories reached through handles on Windows (defined in
// handles.cpp): opened by a bare name relative to a directory held open,
// checked through the handle, deleted through it; and the few calls of ntdll
// this needs beyond what <winternl.h> declares. ntdll is in every process
// before the program itself, so it is never searched for.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstdio>

extern "C" {
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, void* apcRoutine, void* apcContext,
                                    IO_STATUS_BLOCK* status, void* information, ULONG length,
                                    FILE_INFORMATION_CLASS informationClass,
                                    BOOLEAN returnSingleEntry, UNICODE_STRING* fileName,
                                    BOOLEAN restartScan);
NTSTATUS NTAPI NtOpenProcessToken(HANDLE process, ACCESS_MASK access, HANDLE* token);
NTSTATUS NTAPI NtQueryInformationToken(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                       void* information, ULONG length, ULONG* returned);
BOOLEAN NTAPI RtlEqualUnicodeString(const UNICODE_STRING* first, const UNICODE_STRING* second,
                                    BOOLEAN caseInsensitive);
NTSTATUS NTAPI RtlCreateAcl(ACL* acl, ULONG length, ULONG revision);
NTSTATUS NTAPI RtlAddAccessAllowedAceEx(ACL* acl, ULONG revision, ULONG flags, ACCESS_MASK access,
                                        PSID sid);
}

// What NtCreateFile gives when something of the name is already there.
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

// The longest path the wide functions take, in characters, with its zero; a
// name the file system gives is never longer.
constexpr std::size_t kWidePathCapacity = 32768;
// One component of a path, with its zero: entries' names are at most 259
// bytes of the code page, or 255 UTF-16 units in a listing.
constexpr std::size_t kWideComponentCapacity = MAX_PATH + 1;

// Opens the bare `name` relative to `directory` (never following a reparse
// point where the system honours FILE_OPEN_REPARSE_POINT), synchronously;
// `*out` is INVALID_HANDLE_VALUE when it fails.
NTSTATUS OpenBelow(HANDLE directory, const wchar_t* name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, void* security, HANDLE* out);
// The handle's name from the root of its volume, as the file system gives it
// now, `*units` long and zero-terminated, in a buffer from std::malloc; null
// when the system gives none.
wchar_t* NameOf(HANDLE handle, std::size_t* units);
// Whether the handle is named as the entry `name` of the directory named
// `directoryName` (`directoryUnits` long), case aside. A handle that followed
// a link, or was opened below a directory that has been moved, is not.
bool LiesBelow(HANDLE handle, const wchar_t* directoryName, std::size_t directoryUnits,
               const wchar_t* name);
// Whether the handle is a plain directory, or a plain file with a single
// name: no junction, symbolic link or other reparse point. `information`
// receives what the system reports (its volume and file index among it).
bool IsPlain(HANDLE handle, bool directory, BY_HANDLE_FILE_INFORMATION* information);
// Marks the handle's file or directory for deletion once every handle to it
// is closed; false when the system refuses (a directory not empty, a file
// that is read-only).
bool MarkForDeletion(HANDLE handle);
// Deletes the entry `name` of `directory` (named `directoryName`): a file, an
// empty directory or a link as a link, through a handle opened on it and only
// where that handle is named as the entry.
bool DeleteBelow(HANDLE directory, const wchar_t* directoryName, std::size_t directoryUnits,
                 const wchar_t* name);
// A bare UTF-8 name as UTF-16; false when it is not UTF-8, empty or too long.
bool WidenName(const char* name, wchar_t out[kWideComponentCapacity]);
// A directory path in the seam's encoding made wide, with the prefix that
// lifts the 260-character limit; its length, 0 when it does not fit `capacity`.
std::size_t WidenDirectory(const char* directory, wchar_t* out, std::size_t capacity);
// A stream over `handle`, which it then owns; null (and the handle closed)
// when it cannot be made.
std::FILE* StreamOf(HANDLE handle, const char* mode);
