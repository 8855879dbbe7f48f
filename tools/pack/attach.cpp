// mirelk-pack attach: a launcher stub with its resources appended as the
// POSIX resource table (format/resource_table.h).
#include <cstring>

#include "format/bmp.h"
#include "format/elf_image.h"
#include "format/resource_ids.h"
#include "format/resource_table.h"
#include "tools/pack/pack.h"

namespace pack {

namespace {

struct Resource {
  const char* type;
  int id;
  std::filesystem::path file;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// The splash is drawn from the picture the launcher reads; anything it would
// refuse is refused here rather than silently not shown.
void CheckSplashBitmap(const std::filesystem::path& path) {
  const std::vector<std::uint8_t> bmp = ReadWholeFile(path);
  BmpLayout layout = {};
  switch (ReadBmpLayout(bmp.data(), bmp.size(), &layout)) {
    case kBmpReadable:
      return;
    case kNotBmp:
      throw Failure(Describe(path, "not a BMP picture"));
    case kBmpUnsupported:
      throw Failure(Describe(path, "the splash must be an uncompressed 24-bit BMP of at most " +
                                       std::to_string(kLargestPictureSide) + " x " +
                                       std::to_string(kLargestPictureSide) + " pixels"));
    case kBmpDamaged:
      throw Failure(Describe(path, "damaged BMP picture: its sizes do not fit the file"));
  }
}

void CheckReadable(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw Failure("cannot read " +
                  Describe(path, std::filesystem::exists(path, error) ? "not a regular file"
                                                                     : "no such file"));
  }
}

// A POSIX launcher stub carries the launcher's mark note and no resources yet.
void CheckPosixStub(const std::filesystem::path& path, const std::vector<std::uint8_t>& stub) {
  if (!elf::IsElfImage(stub)) {
    throw Failure(Describe(path, "not a launcher stub: neither an ELF nor a Windows program"));
  }
  if (!elf::CarriesLauncherMark(stub)) {
    throw Failure(Describe(path, "not a Mirelk launcher stub: a program without the launcher's " LAUNCHER_MARK_TYPE
                                 " mark note"));
  }
  if (EndsWithResourceMagic(stub.data(), stub.size())) {
    throw Failure(Describe(path, "this stub already carries a resource table"));
  }
}

}  // namespace

int Attach(const std::vector<std::string>& args) {
  const Options options = ParseOptions(args, {"--stub", "--package", "--splash", "-o"}, {});
  if (!options.positional.empty()) {
    throw UsageError("attach takes no file arguments");
  }
  if (options.Value("--stub").empty() || options.Value("--package").empty() || options.Value("-o").empty()) {
    throw UsageError("attach needs --stub, --package and -o");
  }
  const std::filesystem::path stubPath = sys::PathOf(options.Value("--stub"));
  const std::filesystem::path outPath = sys::PathOf(options.Value("-o"));
  std::vector<Resource> resources = {
      {kPackageResourceType, PACKAGE_RESOURCE_ID, sys::PathOf(options.Value("--package"))}};
  if (!options.Value("--splash").empty()) {
    resources.push_back({kBitmapResourceType, SPLASH_BITMAP_ID, sys::PathOf(options.Value("--splash"))});
  }

  std::vector<std::filesystem::path> inputs = {stubPath};
  CheckReadable(stubPath);
  for (const Resource& resource : resources) {
    CheckReadable(resource.file);
    inputs.push_back(resource.file);
  }
  CheckNotAnInput(outPath, inputs);
  const std::vector<std::uint8_t> stub = ReadWholeFile(stubPath);
  CheckPosixStub(stubPath, stub);
  if (CheckPackageFile(resources[0].file) != PackageKind::kLzmaAlone) {
    throw Failure(Describe(resources[0].file, "an uncompressed bundle, not a package "
                                              "(mirelk-pack create makes one without --bundle-only)"));
  }
  if (resources.size() > 1) {
    CheckSplashBitmap(resources[1].file);
  }

  OutputFile out(outPath);
  out.Write(stub.data(), stub.size());
  std::uint64_t offset = stub.size();
  for (Resource& resource : resources) {
    resource.offset = offset;
    resource.size = CopyFileInto(resource.file, out);
    offset += resource.size;
  }

  std::vector<std::uint8_t> table(resources.size() * kResourceEntrySize + kResourceTrailerSize);
  std::uint8_t* at = table.data();
  for (const Resource& resource : resources) {
    WriteResourceEntry(resource.type, static_cast<std::uint32_t>(resource.id), resource.offset,
                       resource.size, at);
    at += kResourceEntrySize;
  }
  WriteResourceTrailer(ResourceTable{offset, static_cast<std::uint32_t>(resources.size())}, at);
  out.Write(table.data(), table.size());
  out.MakeExecutable();
  out.Commit();
  return 0;
}

}  // namespace pack
