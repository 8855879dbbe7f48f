// mirelk-pack list: what a package (LZMA-Alone or .xz, or a bare bundle)
// holds, and whether the launcher would accept it.
#include <lzma.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "format/tree_bundle.h"
#include "tools/pack/package_reader.h"

namespace pack {

namespace {

std::string CheckNames(std::uint32_t checks) {
  const std::pair<lzma_check, const char*> names[] = {{LZMA_CHECK_NONE, "none"},
                                                      {LZMA_CHECK_CRC32, "CRC32"},
                                                      {LZMA_CHECK_CRC64, "CRC64"},
                                                      {LZMA_CHECK_SHA256, "SHA-256"}};
  std::string text;
  for (int id = 0; id <= LZMA_CHECK_ID_MAX; ++id) {
    if ((checks >> id & 1) == 0) {
      continue;
    }
    std::string name = "unknown (" + std::to_string(id) + ")";
    for (const auto& [check, known] : names) {
      if (check == id) {
        name = known;
      }
    }
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

std::uint32_t ReadField(BundleSource& source, const std::filesystem::path& path,
                        const std::string& what) {
  std::uint8_t bytes[kBundleFieldSize];
  if (!source.Read(bytes, sizeof bytes)) {
    throw Failure(Describe(path, "truncated bundle: it ends inside " + what));
  }
  return LoadLittle32(bytes);
}

// A tree bundle's entries after its magic; whether the launcher would refuse
// one of them.
bool ListTree(BundleSource& source, const std::filesystem::path& path) {
  const std::uint32_t count = ReadField(source, path, "the header");
  const std::uint32_t launchIndex = ReadField(source, path, "the header");
  std::printf("bundle: tree (folders, UTF-8 paths)\n");
  std::printf("%6s %4s %12s  %s\n", "index", "kind", "size", "path");
  bool refused = false;
  std::string launchName;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string where = "entry " + std::to_string(i);
    const std::uint32_t kind = ReadField(source, path, where);
    const std::uint32_t pathLength = ReadField(source, path, where);
    if (pathLength > kLongestEntryPath) {
      throw Failure(Describe(path, where + " has a " + std::to_string(pathLength) +
                                       "-byte path; the launcher refuses it"));
    }
    std::string name(pathLength, '\0');
    if (!source.Read(reinterpret_cast<std::uint8_t*>(name.data()), pathLength)) {
      throw Failure(Describe(path, "truncated bundle: it ends inside the path of " + where));
    }
    const std::uint32_t size = ReadField(source, path, where);
    const bool launch = launchIndex == i;
    const bool directory = kind == kTreeDirectory;
    const bool acceptable =
        IsAcceptableEntryPath(name.data(), name.size()) &&
        (directory ? size == 0 && !launch : kind == kTreeFile || kind == kTreeExecutableFile);
    if (launch) {
      launchName = ListedName(name);
    }
    const char* shownKind = directory ? "dir" : kind == kTreeExecutableFile ? "exec" : "file";
    std::printf("%6u %4s %12u  %s%s%s%s\n", i, shownKind, size, ListedName(name).c_str(),
                directory ? "/" : "", launch ? "  [launch]" : "",
                acceptable ? "" : "  [refused by the launcher]");
    refused = refused || !acceptable;
    if (!source.Skip(size)) {
      throw Failure(Describe(path, "truncated bundle: the data of " + where + " (" +
                                       std::to_string(size) + " bytes) runs past its end"));
    }
  }
  std::printf("%u entries; launch entry: %s\n", count,
              launchName.empty() ? "none" : launchName.c_str());
  return refused;
}

// A flat bundle's entries after its magic; whether the launcher would refuse
// one of them.
bool ListFlat(BundleSource& source, const std::filesystem::path& path);

int ListPackage(const std::filesystem::path& path) {
  // What the file is, and whether the launcher would start to unpack it, is
  // told first; damage further on shows while decoding.
  sys::InputFile file = OpenInput(path, "a package");
  const PackageKind kind = CheckPackageFile(file, path);

  std::unique_ptr<BundleSource> source;
  PackageBundle* package = nullptr;
  if (kind == PackageKind::kBundle) {
    std::printf("bundle (not compressed)\n");
    source = std::make_unique<FileBundle>(file, path);
  } else if (kind == PackageKind::kXz) {
    const XzSummary summary = ReadXzIndex(file, path);
    std::printf("package: .xz, check %s, %llu block%s in %llu stream%s, unpacked %llu\n",
                CheckNames(summary.checks).c_str(), static_cast<unsigned long long>(summary.blocks),
                summary.blocks == 1 ? "" : "s", static_cast<unsigned long long>(summary.streams),
                summary.streams == 1 ? "" : "s", static_cast<unsigned long long>(summary.unpacked));
    source = std::make_unique<XzBundle>(file, path);
  } else {
    std::uint8_t head[kPackageHeaderSize] = {};
    std::size_t got = 0;
    if (!file.ReadAt(0, head, sizeof head, &got) || got != sizeof head) {
      throw Failure("cannot read " + Describe(path));
    }
    const PackageHeader header = ReadPackageHeader(head);
    const LzmaProperties properties = SplitLzmaProperties(header.properties);
    std::printf(
        "package: LZMA-Alone (no integrity check), properties 0x%02X (lc %u, lp %u, "
        "pb %u), dictionary %llu, unpacked %s\n",
        header.properties, properties.lc, properties.lp, properties.pb,
        static_cast<unsigned long long>(header.dictionarySize),
        HasUnknownSize(header) ? "unknown (end-of-stream marker)"
                               : std::to_string(header.unpackedSize).c_str());
    auto decoded = std::make_unique<PackageBundle>(file, path, header);
    package = decoded.get();
    source = std::move(decoded);
  }

  std::uint8_t magic[sizeof kTreeBundleMagic] = {};
  const bool flat = source->Read(magic, sizeof kBundleMagic) &&
                    BundleRevisionOf(magic, sizeof kBundleMagic) == kFlatBundle;
  if (!flat && (!source->Read(magic + sizeof kBundleMagic, 1) ||
                BundleRevisionOf(magic, sizeof magic) != kTreeBundle)) {
    throw Failure(Describe(path, "not a bundle: it does not begin with \"HEN\" or \"MRB2\""));
  }
  const bool refused = flat ? ListFlat(*source, path) : ListTree(*source, path);
  if (!source->AtEnd()) {
    std::printf("note: bytes follow the last entry; the launcher ignores them\n");
  }
  source->CheckRest();
  if (package != nullptr && package->UnknownSize()) {
    std::printf("note: the size was unknown to the encoder; %llu bytes decoded\n",
                static_cast<unsigned long long>(package->Produced()));
  }
  if (refused) {
    throw Failure(Describe(path, "the launcher would stop with exit code 14 at a refused name"));
  }
  return 0;
}

bool ListFlat(BundleSource& sourceRef, const std::filesystem::path& path) {
  BundleSource* source = &sourceRef;
  const std::int32_t count = static_cast<std::int32_t>(ReadField(*source, path, "the header"));
  const std::uint32_t launchFlag = ReadField(*source, path, "the header");
  const std::int32_t launchIndex =
      static_cast<std::int32_t>(ReadField(*source, path, "the header"));

  std::printf("%6s %12s  %s\n", "index", "size", "name");
  bool refused = false;
  std::string launchName;
  for (std::int32_t i = 0; i < count; ++i) {
    const std::string where = "entry " + std::to_string(i);
    const std::uint32_t nameLength = ReadField(*source, path, where);
    if (nameLength > kLongestEntryName) {
      throw Failure(Describe(path, where + " has a " + std::to_string(nameLength) +
                                       "-byte name; the launcher refuses it"));
    }
    std::string name(nameLength, '\0');
    if (!source->Read(reinterpret_cast<std::uint8_t*>(name.data()), nameLength)) {
      throw Failure(Describe(path, "truncated bundle: it ends inside the name of " + where));
    }
    const std::uint32_t size = ReadField(*source, path, where);
    // The POSIX launcher's rule, and Windows' characters (format/bundle.h).
    const bool acceptable = IsAcceptableEntryName(name.data(), name.size(), kLatin1CodePage);
    const bool portable = IsPortableEntryName(name.data(), name.size());
    const bool launch = launchFlag != 0 && launchIndex == i;
    if (launch) {
      launchName = ListedName(name);
    }
    std::printf("%6d %12u  %s%s%s\n", i, size, ListedName(name).c_str(), launch ? "  [launch]" : "",
                !acceptable ? "  [name refused by the launcher]"
                : !portable ? "  [name refused by the Windows launcher]"
                            : "");
    refused = refused || !portable;
    if (!source->Skip(size)) {
      throw Failure(Describe(path, "truncated bundle: the data of " + where + " (" +
                                       std::to_string(size) + " bytes) runs past its end"));
    }
  }
  std::printf("%d entries; launch entry: %s\n", count < 0 ? 0 : count,
              launchName.empty() ? "none" : launchName.c_str());
  return refused;
}

// A setup's package, copied where the package listing can read it: a pending
// file in the temporary directory, never committed, so that it goes whatever
// way the listing ends.
int ListSetup(const std::filesystem::path& path, const Setup& setup) {
  std::printf("%s\n", DescribeSettings(setup).c_str());
  std::fflush(stdout);
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::temp_directory_path(error);
  std::random_device random;
  sys::PendingFile copy;
  std::filesystem::path copyPath;
  bool created = false;
  for (int attempt = 0; attempt < 100 && !created && !error; ++attempt) {
    copyPath =
        directory / sys::PathOf("mirelk-list-" + std::to_string(random() % 1000000) + ".pkg");
    created = copy.Create(copyPath);
  }
  if (!created || !copy.Write(setup.package.data(), setup.package.size())) {
    throw Failure("cannot write a copy of the package of " + Describe(path));
  }
  try {
    return ListPackage(copyPath);
  } catch (const Failure& failure) {
    // Told of the setup, not of the copy.
    std::string text = failure.what();
    const std::string copyName = "'" + Shown(sys::TextOf(copyPath)) + "'";
    const std::size_t at = text.find(copyName);
    if (at != std::string::npos) {
      text.replace(at, copyName.size(), "'" + Shown(sys::TextOf(path)) + "' (its package)");
    }
    throw Failure(text);
  }
}

}  // namespace

int List(const std::vector<std::string>& args) {
  const Options options = ParseOptions(args, {}, {"--setup"});
  if (options.positional.size() != 1) {
    throw UsageError("list takes one PACKAGE, or --setup SETUP");
  }
  const std::filesystem::path path = sys::PathOf(options.positional[0]);
  if (!options.Flag("--setup")) {
    return ListPackage(path);
  }
  sys::InputFile file = OpenInput(path, "a setup");
  const std::optional<Setup> setup = ReadSetup(file, path);
  if (!setup) {
    throw Failure(Describe(path, "not a setup (a launcher with its package)"));
  }
  return ListSetup(path, *setup);
}

}  // namespace pack
