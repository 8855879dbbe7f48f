// mirelk-pack attach: a launcher stub with its resources appended as the
// POSIX resource table (format/resource_table.h).
#include <cstring>

#include "format/bmp.h"
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

}  // namespace

int Attach(const std::vector<std::string>& args) {
  const Options options = ParseOptions(args, {"--stub", "--package", "--splash", "-o"}, {});
  if (!options.positional.empty()) {
    throw UsageError("attach takes no file arguments");
  }
  const std::string stubPath = options.Value("--stub");
  const std::string packagePath = options.Value("--package");
  const std::string outPath = options.Value("-o");
  if (stubPath.empty() || packagePath.empty() || outPath.empty()) {
    throw UsageError("attach needs --stub, --package and -o");
  }

  CheckReadable(stubPath);
  const std::vector<std::uint8_t> stub = ReadWholeFile(stubPath);
  if (EndsWithResourceMagic(stub.data(), stub.size())) {
    throw Failure(Describe(stubPath, "this stub already carries a resource table"));
  }
  std::vector<Resource> resources = {{kPackageResourceType, PACKAGE_RESOURCE_ID, packagePath}};
  if (!options.Value("--splash").empty()) {
    resources.push_back({kBitmapResourceType, SPLASH_BITMAP_ID, options.Value("--splash")});
  }
  for (const Resource& resource : resources) {
    CheckReadable(resource.file);
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
