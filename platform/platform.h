// The operating-system services the launcher and its splash need, gathered on
// one narrow seam.
//
// Portable code (launcher/, splash/) reaches the system only through
// `gPlatform`, a table of parts, each the operations of one concern (text,
// workspace, resources, streams, ...). Each system provides every part from
// its own folder (platform/posix/, platform/win32/; docs/porting.md tells how
// to add one). A test may point `gPlatform` at copies in which any operation
// fails or is recorded, so that every path can be provoked in-process. The
// shipped launcher never changes the pointer: it has no configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Every path the launcher composes lives in a zero-filled buffer of this size.
// A system whose paths are longer text defines MIRELK_PATH_CAPACITY in its
// CMake file (Windows: UTF-8, see cmake/windows.cmake).
#ifndef MIRELK_PATH_CAPACITY
#define MIRELK_PATH_CAPACITY 260
#endif
constexpr std::size_t kPathCapacity = MIRELK_PATH_CAPACITY;

// How path text reads as characters. Windows paths are UTF-16 to the system:
// portable code carries them as UTF-8, and the Windows side of the seam
// converts at each call. POSIX paths are bytes, read as Latin-1.
#ifdef MIRELK_UTF8_PATHS
constexpr bool kPathTextIsUtf8 = true;
#else
constexpr bool kPathTextIsUtf8 = false;
#endif

// What separates a directory from a name. A system that uses another byte
// defines MIRELK_PATH_SEPARATOR (a character code) in its CMake file.
#ifndef MIRELK_PATH_SEPARATOR
#define MIRELK_PATH_SEPARATOR '/'
#endif
constexpr char kPathSeparator = static_cast<char>(MIRELK_PATH_SEPARATOR);

// Every name the launcher makes in the temporary directory begins with this,
// so that what a run leaves behind can be told apart.
constexpr char kWorkspacePrefix[] = "mrl";

// The program's own module (HINSTANCE on Windows); POSIX has none and passes null.
using PlatformInstance = void*;

// A started process the launcher can wait for; 0 when nothing was started.
using PlatformProcess = std::intptr_t;

// What the start-up hands the launcher as its arguments. Windows has one
// command-line string (`text`, the tail after the program's name, in UTF-16
// as the system gives it); POSIX has an argument vector (`args`, `count`,
// without the program's name) and no `text`.
struct ArgumentTail {
  const char16_t* text;
  char* const* args;
  int count;
};

// Where a resource's bytes are. Windows has them mapped with the image (`data`);
// the POSIX launcher reads them from its own executable file at `offset`.
struct PlatformResource {
  const void* data;
  std::uint64_t offset;
  std::uint64_t size;
};

// What a unique name is made as.
enum UniqueKind : int {
  kUniqueFile,       // an empty file
  kUniqueDirectory,  // an empty directory
};

// How a buffered binary stream is opened.
enum StreamMode : int {
  kStreamRead,    // existing file, reading
  kStreamUpdate,  // existing file, reading and writing
  kStreamCreate,  // created or emptied, reading and writing
};

enum StreamOrigin : int {
  kSeekStart,
  kSeekEnd,
};

// What a directory listing reports about an entry. A link to a directory is
// its own kind so that removal deletes the link and never what it points to;
// a directory of another file system mounted in the tree is left as it is.
enum EntryKind : int {
  kEntryFile,
  kEntryDirectory,
  kEntryDirectoryLink,
  kEntryMountPoint,
};

// Which directory an entry is, where the system can tell (POSIX: device and
// inode number); all zero where it cannot, and for entries of other kinds.
struct FileIdentity {
  std::uint64_t device;
  std::uint64_t number;
};

struct ListedEntry {
  std::size_t name;  // where its zero-terminated name starts in the names
  EntryKind kind;
  FileIdentity identity;
};

// The entries of one directory, read whole: every entry the system reports,
// "." and ".." among them where it reports those. Both arrays come from
// std::malloc, and the caller frees them.
struct DirectoryListing {
  ListedEntry* entries;
  std::size_t count;
  std::size_t entryRoom;
  char* names;
  std::size_t namesSize;
  std::size_t namesRoom;
};

// A walk through a directory tree that removes it (launcher/remove_tree.cpp).
// It stands in one directory at a time and works on that directory's entries
// by name, so that a directory renamed, or replaced by a link, while the walk
// runs never steers it outside the tree. Each system defines what it holds.
struct TreeWalk;

// A directory the extraction writes entries into, held open so that every
// name is made relative to it: the extraction directory or one made below
// it. Each system defines what it holds.
struct EntryDirectory;

// A splash surface: a borderless top-level window of a fixed size, with no
// message handling of its own, into which a picture is blended. Each system
// defines what it holds.
struct SplashSurface;

struct ScreenSize {
  int width;
  int height;
};

// A surface's place on the screen: [left, right) x [top, bottom).
struct SurfaceRect {
  int left;
  int top;
  int right;
  int bottom;
};

// ---- The seam's parts, one for each concern. Every system defines each part
// once, in the file of its folder that does that work (kSystemText and the
// others below), listing its functions in the order of the fields, and
// platform/system_platform.cpp gathers them into one table.

// Text.
struct TextOps {
  // A bundle entry's name, `length` bytes of 8-bit text in the system code
  // page, as path text: zero-filled `out`, `*outLength` bytes of it the name
  // (a zero byte of the name stays one). POSIX copies the bytes; Windows
  // converts them from the code page to UTF-8. False when the name does not
  // convert (a byte sequence the code page does not have) or does not fit.
  bool (*EntryNameToPathText)(const char* name, std::size_t length, char out[kPathCapacity],
                              std::size_t* outLength);
};

// The workspace: the temporary directory and the names made in it.
struct WorkspaceOps {
  // The user's temporary directory, ending in a separator. False when it
  // cannot be had or does not fit the buffer.
  bool (*GetTempDirectory)(char out[kPathCapacity]);
  // A new name in `directory`, beginning with kWorkspacePrefix, made as `kind`
  // by this call alone (never one that already existed), checked to be what
  // was made: a plain file or directory, not a link.
  //
  // Windows keeps what it made open from here until it is deleted, without
  // delete sharing, so that no other Windows process can rename it or put a
  // link in its place, and every later operation naming the path (writing
  // the resource, opening a stream, deleting, removal's walk, the entry
  // directories, starting the installer) works on what it holds, never on
  // what the path leads to then: each first checks that the path still leads
  // to it (under Wine a Unix process can still move it) and fails when it
  // does not, or when the path names nothing it made. The extraction
  // directory also gets a protected DACL granting only the launcher's user,
  // SYSTEM and Administrators.
  bool (*CreateUniqueName)(const char* directory, UniqueKind kind, char out[kPathCapacity]);
  bool (*DeleteFileAt)(const char* path);
  // Fails unless the directory is empty.
  bool (*RemoveEmptyDirectory)(const char* path);
};

// The program's own resources.
struct ResourceOps {
  // The program's own resource of `type` and `id`. False when it has none.
  bool (*LookUpResource)(const char* type, int id, PlatformResource* out);
  // Empties the file `path` (made by CreateUniqueName) and writes the
  // resource's bytes to it. False only when the file cannot be had; the
  // write is not checked.
  bool (*WriteResourceToFile)(const PlatformResource* resource, const char* path);
  // Reads a whole resource into `out` (resource->size bytes).
  bool (*ReadResource)(const PlatformResource* resource, void* out);
};

// Buffered binary streams.
struct StreamOps {
  // Null when the file cannot be opened.
  std::FILE* (*OpenStream)(const char* path, StreamMode mode);
  std::size_t (*ReadStream)(std::FILE* stream, void* buffer, std::size_t size);
  std::size_t (*WriteStream)(std::FILE* stream, const void* buffer, std::size_t size);
  bool (*SeekStream)(std::FILE* stream, std::int64_t offset, StreamOrigin origin);
  std::int64_t (*TellStream)(std::FILE* stream);
  // Closing may fail when buffered data cannot be written out.
  bool (*CloseStream)(std::FILE* stream);
  // Gives back the disk space of `length` bytes at `offset` of a stream open
  // for update, whose bytes there are no longer needed: they read back as
  // zeros, and the file keeps its size. False where the file system cannot;
  // nothing else changes then.
  bool (*ReleaseStreamRange)(std::FILE* stream, std::int64_t offset, std::int64_t length);
};

// Tree removal's walk.
struct TreeWalkOps {
  // Starts a walk standing in `directory`, which must be a directory itself,
  // not a link to one nor a file system mounted on it. Null when it is not,
  // or cannot be opened.
  TreeWalk* (*StartTreeWalk)(const char* directory);
  // Reads the entries of the directory the walk stands in into `out`; what
  // cannot be read is not listed.
  void (*ListWalkDirectory)(TreeWalk* walk, DirectoryListing* out);
  // Steps into the subdirectory `name`, listed as `listed`. False, and the
  // walk stays where it is, when what is there now is not that directory: a
  // link, another directory put in its place, a mount point.
  bool (*EnterWalkDirectory)(TreeWalk* walk, const char* name, const FileIdentity* listed);
  // Steps back up to the directory the walk came from. False when that can
  // no longer be reached as the same directory (the tree was moved): the
  // walk is then lost, and may only be ended.
  bool (*LeaveWalkDirectory)(TreeWalk* walk);
  // Deletes the file or link `name` in the directory the walk stands in;
  // a link as a link, never what it leads to. Where the system cannot reach
  // the link itself (Wine and a Unix symbolic link), it fails and the link
  // stays.
  bool (*DeleteWalkEntry)(TreeWalk* walk, const char* name);
  // Removes `name` in the directory the walk stands in: an empty
  // subdirectory, or a link to a directory (the link alone, as above).
  bool (*RemoveWalkDirectory)(TreeWalk* walk, const char* name);
  void (*EndTreeWalk)(TreeWalk* walk);
};

// Entry directories: the extraction directory and the tree bundle's folders,
// into which every entry of either bundle revision is written.
struct EntryDirectoryOps {
  // Opens `directory`, which must be a directory itself, not a link to one.
  // Null when it is not, or cannot be opened.
  EntryDirectory* (*OpenEntryDirectory)(const char* directory);
  // Makes the subdirectory `name` (a bare UTF-8 name) of `parent`, or takes
  // the one there, and opens it. Null when what is there is anything but a
  // plain directory (a file, a link, a junction or other reparse point), or
  // it cannot be made. The parent stays open and must outlive it.
  EntryDirectory* (*MakeEntryDirectory)(EntryDirectory* parent, const char* name);
  // Creates the file `name` in `directory` for writing, only where nothing
  // of that name is (no link followed), private to the user: 0700 when
  // `executable`, else 0600 (Windows ignores the flag). Null when it cannot.
  std::FILE* (*CreateEntryFile)(EntryDirectory* directory, const char* name, bool executable);
  // The same, 0600, but a plain file already there under the name (an
  // earlier entry of a flat bundle) is emptied and taken instead; a link or
  // anything but a plain file is refused, and nothing is followed.
  std::FILE* (*ReplaceEntryFile)(EntryDirectory* directory, const char* name);
  // Deletes the file `name` in `directory`: an entry not written whole. A
  // link goes as a link, never what it leads to.
  bool (*DeleteEntryFile)(EntryDirectory* directory, const char* name);
  void (*CloseEntryDirectory)(EntryDirectory* directory);
};

// The installer's process.
struct ProcessOps {
  // Starts `path` with the launcher's arguments, in the launcher's current
  // directory. 0 when no process was started (Windows: also when the path
  // does not lead into a directory CreateUniqueName made, where it was made).
  PlatformProcess (*StartProcess)(const char* path, const ArgumentTail* tail);
  // Blocks until the process has ended, and gives its exit code (Windows:
  // all 32 bits; POSIX: the exit status, or 128 + the number of the signal
  // that ended it). False when the system cannot tell how it ended.
  bool (*WaitForProcess)(PlatformProcess process, std::uint32_t* exitCode);
};

// The processes the installer starts.
struct DescendantOps {
  // Called before StartProcess: makes the process started next, and every
  // process it starts, directly or through others, ones WaitForDescendants
  // waits for (Windows: a job the launcher joins; POSIX: the launcher becomes
  // the subreaper of its orphaned descendants). False when the system
  // refuses; WaitForDescendants then returns at once.
  bool (*AdoptDescendants)();
  // After WaitForProcess: blocks until every adopted descendant has ended,
  // or the system's interruption rules cut the wait short.
  void (*WaitForDescendants)();
};

// The splash surface.
struct SplashOps {
  // A surface of `width` x `height` pixels at (0, 0), not yet shown, titled
  // `title` where the system lists window titles. Null when the system has no
  // screen to show it on.
  SplashSurface* (*OpenSplashSurface)(PlatformInstance instance, int width, int height,
                                      const char* title);
  // The size of the screen the surface is on, in pixels.
  ScreenSize (*GetScreenSize)(SplashSurface* surface);
  SurfaceRect (*GetSurfaceRect)(SplashSurface* surface);
  // Moves the surface's top-left corner to (x, y), keeping its size, and shows
  // it. A system may wait with putting it on the screen until the first
  // picture frame is drawn into it.
  void (*ShowSplashSurface)(SplashSurface* surface, int x, int y);
  // Loads the program's picture `id` for the surface, and the means to blend
  // it (loaded at run time where the system has them in a library). False
  // when either is missing; ReleaseSplashPicture follows either way.
  bool (*LoadSplashPicture)(SplashSurface* surface, PlatformInstance instance, int id);
  // Blends the whole picture over what the surface shows at a constant alpha
  // (0 to 255). False when the surface can take no more drawing.
  bool (*BlendSplashPicture)(SplashSurface* surface, int alpha);
  void (*ReleaseSplashPicture)(SplashSurface* surface);
  // Takes the surface off the screen and frees it.
  void (*CloseSplashSurface)(SplashSurface* surface);
};

// Time and the machine's processors.
struct ClockOps {
  void (*SleepMilliseconds)(int milliseconds);
  // How many processors this process may run on (its affinity, where the
  // system has one); at least 1.
  std::uint32_t (*CountProcessors)();
};

// The whole seam: a pointer to each part. A caller names the part, then the
// operation: gPlatform->streams->ReadStream(...).
struct PlatformOps {
  const TextOps* text;
  const WorkspaceOps* workspace;
  const ResourceOps* resources;
  const StreamOps* streams;
  const TreeWalkOps* treeWalk;
  const EntryDirectoryOps* entryDirectories;
  const ProcessOps* processes;
  const DescendantOps* descendants;
  const SplashOps* splash;
  const ClockOps* clock;
};

// The parts of the system the launcher was built for, each defined in the
// system's folder by the file that does that work. Code of that folder may
// call its own system's parts directly; nothing there calls back up through
// gPlatform.
extern const TextOps kSystemText;
extern const WorkspaceOps kSystemWorkspace;
extern const ResourceOps kSystemResources;
extern const StreamOps kSystemStreams;
extern const TreeWalkOps kSystemTreeWalk;
extern const EntryDirectoryOps kSystemEntryDirectories;
extern const ProcessOps kSystemProcesses;
extern const DescendantOps kSystemDescendants;
extern const SplashOps kSystemSplash;
extern const ClockOps kSystemClock;

// The table of those parts (platform/system_platform.cpp).
extern const PlatformOps kSystemPlatform;

// The table every caller goes through; points at kSystemPlatform.
extern const PlatformOps* gPlatform;
