// Hostile bundles for the extraction stage. Each input becomes the bundle file
// in a fresh sandbox beside an empty extraction directory; after the stage:
//
//   - it extracts, finds no magic, or fails to write an entry (it reports
//     that the bundle was not opened only when it cannot be, and the harness
//     always writes a readable one);
//   - nothing exists in the sandbox but the bundle and the extraction
//     directory, and nothing in that directory but plain files;
//   - once extracted the bundle is gone, otherwise it is there, unchanged;
//   - the launch path is empty or names an entry directly in the directory;
//   - the files are what the bundle's records say: once extracted one per
//     record, after an entry that was not written those of the records before
//     it, each holding the data
//     of the last record of its name; a record that is whole and has a plain
//     name ("_setup-1.sh": no device name, nothing Windows refuses) cannot be
//     the one that failed, unless it ran out of room;
//   - entries may take 12 KiB in all, after which writes fail as on a full
//     disk: the entry is then not written, and what was written of it is gone.
//
// The records are read here with a parser of the bundle's layout alone; which
// names the launcher refuses is left to it, as that list is its own to change.
//
// A tree bundle ("MRB2") is held to the same about the sandbox, the bundle
// and the room, and besides:
//   - entries are made only through the entry directory operations, with
//     bare names (no separator, not "." or ".."), from the extraction
//     directory down;
//   - the extraction directory holds only directories and plain files, and
//     every file is a record's path with that record's data (a file not
//     written whole is gone); once extracted, the tree is exactly the
//     records' files and folders and the folders above them;
//   - the launch path lies below the extraction directory and names the
//     designated record's file.
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "format/tree_bundle.h"
#include "launcher/launcher.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using fuzz::Bytes;
using fuzz::Fail;

struct Places {
  std::string sandbox;
  std::string bundle;
  std::string extraction;
};

const Places& GetPlaces() {
  static const Places places = {fuzz::ScratchRoot() + "/sandbox",
                                fuzz::ScratchRoot() + "/sandbox/bundle",
                                fuzz::ScratchRoot() + "/sandbox/extract"};
  return places;
}

// ---- The bundle as its layout describes it -------------------------------

struct Record {
  std::string name;
  Bytes data;
};

struct Parsed {
  bool magic = false;
  // Records announced: the count field as a signed number, none when negative
  // or when the header ends before it.
  std::int64_t announced = 0;
  std::uint32_t launchFlag = 0;
  std::int32_t launchIndex = -1;
  // The announced records that are present whole, in order.
  std::vector<Record> records;
};

// A length field at `at`, then that many bytes, into `out`; false when the
// input ends before either. `at` moves past what was taken.
template <typename Out>
bool TakeSized(const std::uint8_t* data, std::size_t size, std::size_t* at, Out* out) {
  if (size - *at < kBundleFieldSize) {
    return false;
  }
  const std::uint32_t length = LoadLittle32(data + *at);
  *at += kBundleFieldSize;
  if (size - *at < length) {
    return false;
  }
  out->assign(data + *at, data + *at + length);
  *at += length;
  return true;
}

Parsed ParseBundle(const std::uint8_t* data, std::size_t size) {
  Parsed parsed;
  parsed.magic =
      size >= sizeof kBundleMagic && std::memcmp(data, kBundleMagic, sizeof kBundleMagic) == 0;
  if (!parsed.magic) {
    return parsed;
  }
  if (size >= sizeof kBundleMagic + kBundleFieldSize) {
    parsed.announced = static_cast<std::int32_t>(LoadLittle32(data + 3));
    parsed.announced = std::max<std::int64_t>(parsed.announced, 0);
  }
  if (size < kBundleHeaderSize) {
    // A header cut short designates nothing, and no record can follow it.
    return parsed;
  }
  parsed.launchFlag = LoadLittle32(data + 7);
  parsed.launchIndex = static_cast<std::int32_t>(LoadLittle32(data + 11));
  std::size_t at = kBundleHeaderSize;
  for (std::int64_t i = 0; i < parsed.announced; ++i) {
    Record record;
    if (!TakeSized(data, size, &at, &record.name) || !TakeSized(data, size, &at, &record.data)) {
      break;
    }
    parsed.records.push_back(std::move(record));
  }
  return parsed;
}

// ---- What the stage may do -----------------------------------------------

// Reading the bundle, creating (and deleting) entries through the entry
// directory operations with bare names from the extraction directory down,
// and deleting the bundle; anything else fails the run on the spot, before
// the operation could reach outside the sandbox.
//
// How much the entries of one run may take before a write fails, as on a full
// disk: a bundle that needs more ends in an entry that cannot be written whole.
constexpr std::size_t kExtractionRoom = 12 * 1024;

std::FILE* GuardedOpen(const char* path, StreamMode mode) {
  if (mode == kStreamCreate || GetPlaces().bundle != path) {
    Fail("the extraction stage opened \"%s\" in mode %d", path, static_cast<int>(mode));
  }
  std::FILE* stream = kSystemStreams.OpenStream(path, mode);
  fuzz::gLedger.Opened(stream);
  return stream;
}

// The bundle once every entry is written.
bool GuardedDelete(const char* path) {
  return fuzz::DeleteOnly(GetPlaces().bundle, path);
}

// ---- Checks ----------------------------------------------------------------

// The extraction directory's files and their bytes; fails on anything that
// is not a plain file.
std::map<std::string, Bytes> ExtractedFiles(const std::string& directory) {
  std::map<std::string, Bytes> files;
  for (const std::string& name : testing_support::ListDirectory(directory)) {
    const std::string path = directory + "/" + name;
    switch (testing_support::KindOf(path)) {
      case testing_support::Kind::kFile:
        files.emplace(name, testing_support::ReadFile(path));
        break;
      case testing_support::Kind::kDirectory:
        Fail("\"%s\" in the extraction directory is a directory", name.c_str());
      case testing_support::Kind::kLink:
        Fail("\"%s\" in the extraction directory is a symbolic link", name.c_str());
      default:
        Fail("\"%s\" in the extraction directory is not a plain file", name.c_str());
    }
  }
  return files;
}

using Expected = std::map<std::string, const Bytes*>;

// Whether the files are exactly `expected`: the names and, for each, the bytes.
bool FilesAre(const std::map<std::string, Bytes>& files, const Expected& expected) {
  if (expected.size() != files.size()) {
    return false;
  }
  for (const auto& [name, data] : expected) {
    const auto found = files.find(name);
    if (found == files.end() || found->second != *data) {
      return false;
    }
  }
  return true;
}

// Whether the launcher has no reason to refuse `name`, whatever the details of
// its rules: a digit or '_' first (so no device name), then only letters,
// digits, '_', '-' and '.', not ending in '.', and a path that fits.
bool SurelyAcceptable(const std::string& name, std::size_t directoryLength) {
  if (name.empty() || name.size() > 64 || directoryLength + 1 + name.size() >= kPathCapacity ||
      name.back() == '.') {
    return false;
  }
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!digit(name[0]) && name[0] != '_') {
    return false;
  }
  for (const char c : name) {
    if (!digit(c) && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '_' && c != '-' &&
        c != '.') {
      return false;
    }
  }
  return true;
}

// Whether a 14 fits the files: some record k failed, one that is cut short,
// has a name the launcher may refuse, or ran out of room; the files are
// exactly those of the records before it, each with the data of the last
// record of its name.
bool FailureFits(const std::map<std::string, Bytes>& files, const Parsed& parsed,
                 std::size_t directoryLength) {
  const std::vector<Record>& records = parsed.records;
  if (parsed.announced == 0) {
    return false;
  }
  const std::size_t last =
      std::min<std::size_t>(records.size(), static_cast<std::size_t>(parsed.announced - 1));
  Expected expected;
  std::size_t used = 0;
  for (std::size_t k = 0; k <= last; ++k) {
    bool canFail = k == records.size();
    if (!canFail) {
      used += records[k].data.size();
      canFail = !SurelyAcceptable(records[k].name, directoryLength) || used > kExtractionRoom;
    }
    if (canFail && FilesAre(files, expected)) {
      return true;
    }
    if (k < records.size()) {
      expected[records[k].name] = &records[k].data;
    }
  }
  return false;
}

void CheckLaunchPath(const char launchPath[kPathCapacity], const Places& places,
                     const std::map<std::string, Bytes>& files, ExtractOutcome result,
                     const Parsed& parsed) {
  if (std::memchr(launchPath, '\0', kPathCapacity) == nullptr) {
    Fail("the launch path is not terminated within %zu bytes", kPathCapacity);
  }
  if (launchPath[0] == '\0') {
    if (result == kExtracted && parsed.launchFlag != 0 && parsed.launchIndex >= 0 &&
        parsed.launchIndex < parsed.announced) {
      Fail("record %d was designated and extracted, but the launch path is empty",
           parsed.launchIndex);
    }
    return;
  }
  if (!fuzz::IsDirectChild(places.extraction, launchPath)) {
    Fail("the launch path \"%s\" is not directly in the extraction directory", launchPath);
  }
  if (result != kExtracted) {
    return;
  }
  const std::string name = launchPath + places.extraction.size() + 1;
  if (files.count(name) == 0) {
    Fail("the launch path names \"%s\", which was not extracted", name.c_str());
  }
  if (parsed.launchFlag == 0 || parsed.launchIndex < 0 || parsed.launchIndex >= parsed.announced ||
      parsed.records[static_cast<std::size_t>(parsed.launchIndex)].name != name) {
    Fail("the launch path names \"%s\", which the header does not designate", name.c_str());
  }
}

// ---- Tree bundles ----------------------------------------------------------

struct TreeRecord {
  std::uint32_t kind;
  std::string path;
  Bytes data;
};

struct ParsedTree {
  bool magic = false;
  std::uint32_t announced = 0;
  std::uint32_t launchIndex = kNoLaunchEntry;
  std::vector<TreeRecord> records;  // the announced ones present whole
};

ParsedTree ParseTree(const std::uint8_t* data, std::size_t size) {
  ParsedTree parsed;
  parsed.magic = BundleRevisionOf(data, size) == kTreeBundle;
  if (!parsed.magic || size < kTreeBundleHeaderSize) {
    return parsed;
  }
  parsed.announced = LoadLittle32(data + 4);
  parsed.launchIndex = LoadLittle32(data + 8);
  std::size_t at = kTreeBundleHeaderSize;
  for (std::uint32_t i = 0; i < parsed.announced; ++i) {
    if (size - at < kBundleFieldSize) {
      break;
    }
    TreeRecord record;
    record.kind = LoadLittle32(data + at);
    at += kBundleFieldSize;
    if (!TakeSized(data, size, &at, &record.path) || !TakeSized(data, size, &at, &record.data)) {
      break;
    }
    parsed.records.push_back(std::move(record));
  }
  return parsed;
}

EntryDirectory* GuardedOpenEntryDirectory(const char* directory) {
  if (GetPlaces().extraction != directory) {
    Fail("entries are being written into \"%s\"", directory);
  }
  return kSystemEntryDirectories.OpenEntryDirectory(directory);
}

EntryDirectory* GuardedMakeEntryDirectory(EntryDirectory* parent, const char* name) {
  if (!fuzz::IsBareName(name)) {
    Fail("a directory is being made with the name \"%s\"", name);
  }
  return kSystemEntryDirectories.MakeEntryDirectory(parent, name);
}

std::FILE* GuardedCreateEntryFile(EntryDirectory* directory, const char* name, bool executable) {
  if (!fuzz::IsBareName(name)) {
    Fail("an entry is being created with the name \"%s\"", name);
  }
  std::FILE* stream = kSystemEntryDirectories.CreateEntryFile(directory, name, executable);
  fuzz::gLedger.Opened(stream);
  return stream;
}

std::FILE* GuardedReplaceEntryFile(EntryDirectory* directory, const char* name) {
  if (!fuzz::IsBareName(name)) {
    Fail("an entry is being replaced with the name \"%s\"", name);
  }
  std::FILE* stream = kSystemEntryDirectories.ReplaceEntryFile(directory, name);
  fuzz::gLedger.Opened(stream);
  return stream;
}

bool GuardedDeleteEntryFile(EntryDirectory* directory, const char* name) {
  if (!fuzz::IsBareName(name)) {
    Fail("an entry is being deleted with the name \"%s\"", name);
  }
  return kSystemEntryDirectories.DeleteEntryFile(directory, name);
}

// Every directory (ending in '/') and file below `directory`, by relative path.
void WalkTree(const std::string& directory, const std::string& prefix,
              std::map<std::string, Bytes>& out) {
  for (const std::string& name : testing_support::ListDirectory(directory)) {
    const std::string path = directory + "/" + name;
    switch (testing_support::KindOf(path)) {
      case testing_support::Kind::kFile:
        out.emplace(prefix + name, testing_support::ReadFile(path));
        break;
      case testing_support::Kind::kDirectory:
        out.emplace(prefix + name + "/", Bytes{});
        WalkTree(path, prefix + name + "/", out);
        break;
      default:
        Fail("\"%s\" in the extraction directory is neither a directory nor a plain file",
             (prefix + name).c_str());
    }
  }
}

void CheckTree(const ParsedTree& parsed, ExtractOutcome result, const char* launchPath) {
  const Places& places = GetPlaces();
  std::map<std::string, Bytes> tree;
  WalkTree(places.extraction, "", tree);
  std::map<std::string, const Bytes*> files;
  std::map<std::string, bool> folders;
  for (const TreeRecord& record : parsed.records) {
    std::string path = record.path;
    if (record.kind == kTreeDirectory) {
      path += "/";
    } else {
      // Files are created only where nothing is: the first record of a
      // path is the one that can be there.
      files.emplace(path, &record.data);
    }
    for (std::size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      folders[path.substr(0, slash + 1)] = true;
    }
  }
  for (const auto& [path, data] : tree) {
    if (path.back() == '/') {
      if (folders.count(path) == 0) {
        Fail("the folder \"%s\" is no record's", path.c_str());
      }
    } else if (files.count(path) == 0 || *files[path] != data) {
      Fail("the file \"%s\" is no record's, or holds other data", path.c_str());
    }
  }
  if (result == kExtracted) {
    if (parsed.records.size() != parsed.announced) {
      Fail("extraction completed with %zu of %u announced records present", parsed.records.size(),
           parsed.announced);
    }
    if (tree.size() != files.size() + folders.size()) {
      Fail("extraction completed but the tree has %zu entries for %zu files and %zu folders",
           tree.size(), files.size(), folders.size());
    }
  }
  if (launchPath[0] == '\0') {
    return;
  }
  const std::string launch = launchPath;
  if (launch.compare(0, places.extraction.size() + 1, places.extraction + "/") != 0) {
    Fail("the launch path \"%s\" is not below the extraction directory", launchPath);
  }
  const std::string relative = launch.substr(places.extraction.size() + 1);
  if (result == kExtracted &&
      (parsed.launchIndex >= parsed.records.size() ||
       parsed.records[parsed.launchIndex].path != relative || tree.count(relative) == 0)) {
    Fail("the launch path names \"%s\", which is not the designated file", relative.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Places& places = GetPlaces();
  testing_support::RemoveAll(places.sandbox);
  if (mkdir(places.sandbox.c_str(), 0700) != 0 || mkdir(places.extraction.c_str(), 0700) != 0) {
    Fail("harness cannot make the sandbox %s", places.sandbox.c_str());
  }
  testing_support::WriteFile(places.bundle, Bytes(data, data + size));

  char launchPath[kPathCapacity] = {};
  static const testing_support::PlatformParts guarded = [] {
    testing_support::PlatformParts ops = fuzz::StageOps("extraction", GuardedOpen, GuardedDelete);
    ops.entryDirectories = {GuardedOpenEntryDirectory, GuardedMakeEntryDirectory,
                            GuardedCreateEntryFile,    GuardedReplaceEntryFile,
                            GuardedDeleteEntryFile,    kSystemEntryDirectories.CloseEntryDirectory};
    return ops;
  }();
  testing_support::gWriteBudget = kExtractionRoom;
  testing_support::gWriteBudgetExceeded = false;
  ExtractOutcome result = kExtracted;
  {
    testing_support::PlatformOverride use(guarded);
    result = ExtractBundle(places.bundle.c_str(), places.extraction.c_str(), launchPath);
  }
  const std::size_t leftOpen = fuzz::gLedger.CloseLeftovers();
  if (leftOpen > 0) {
    Fail("the extraction stage returned %d with %zu stream(s) left open", static_cast<int>(result),
         leftOpen);
  }

  if (result != kExtracted && result != kBundleNotOpened && result != kBundleWithoutMagic &&
      result != kEntryNotWritten) {
    Fail("the extraction stage returned %d", static_cast<int>(result));
  }
  if (result == kBundleNotOpened) {
    Fail("the bundle could not be opened, though it was written just before");
  }
  if (testing_support::gWriteBudgetExceeded && result != kEntryNotWritten) {
    Fail("an entry could not be written whole, yet the stage returned %d",
         static_cast<int>(result));
  }

  // The sandbox: the bundle (unless extraction completed) and the directory.
  bool sawBundle = false;
  for (const std::string& name : testing_support::ListDirectory(places.sandbox)) {
    const testing_support::Kind kind = testing_support::KindOf(places.sandbox + "/" + name);
    if (name == "bundle" && kind == testing_support::Kind::kFile) {
      sawBundle = true;
    } else if (name != "extract" || kind != testing_support::Kind::kDirectory) {
      Fail("\"%s\" appeared in the sandbox beside the extraction directory", name.c_str());
    }
  }
  if (result == kExtracted && sawBundle) {
    Fail("extraction completed but the bundle is still there");
  }
  if (result != kExtracted) {
    if (!sawBundle) {
      Fail("extraction failed with %d and the bundle is gone", static_cast<int>(result));
    }
    if (testing_support::ReadFile(places.bundle) != Bytes(data, data + size)) {
      Fail("extraction failed with %d and the bundle was changed", static_cast<int>(result));
    }
  }

  const ParsedTree tree = ParseTree(data, size);
  if (tree.magic) {
    if (result == kBundleWithoutMagic) {
      Fail("a bundle starting with \"MRB2\" was turned away as having no magic");
    }
    CheckTree(tree, result, launchPath);
    testing_support::RemoveAll(places.sandbox);
    return 0;
  }
  const std::map<std::string, Bytes> files = ExtractedFiles(places.extraction);
  const Parsed parsed = ParseBundle(data, size);
  if (!parsed.magic) {
    if (result != kBundleWithoutMagic) {
      Fail("a bundle without either magic gave %d", static_cast<int>(result));
    }
  } else if (result == kBundleWithoutMagic) {
    Fail("a bundle starting with \"HEN\" was turned away as having no magic");
  }
  const std::size_t whole = parsed.records.size();
  if (result == kBundleWithoutMagic && !files.empty()) {
    Fail("a bundle without \"HEN\" left %zu file(s)", files.size());
  }
  if (result == kExtracted) {
    if (static_cast<std::int64_t>(whole) != parsed.announced) {
      Fail("extraction completed with %zu of %lld announced records present", whole,
           static_cast<long long>(parsed.announced));
    }
    Expected expected;
    for (const Record& record : parsed.records) {
      expected[record.name] = &record.data;
    }
    if (!FilesAre(files, expected)) {
      Fail("extraction completed but the files differ from the %zu records", whole);
    }
  }
  if (result == kEntryNotWritten && !FailureFits(files, parsed, places.extraction.size())) {
    Fail(
        "an entry was not written, leaving %zu file(s) that are not those of the records "
        "before one that may fail",
        files.size());
  }
  CheckLaunchPath(launchPath, places, files, result, parsed);

  testing_support::RemoveAll(places.sandbox);
  return 0;
}
