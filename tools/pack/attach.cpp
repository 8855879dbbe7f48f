// mirelk-pack attach: a launcher stub with its resources appended.
#include <cstring>

#include "platform/posix/resource_table.h"
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

bool CarriesResourceTable(const std::vector<std::uint8_t>& stub) {
  return stub.size() >= kResourceTrailerSize &&
         std::memcmp(stub.data() + stub.size() - sizeof kResourceTableMagic, kResourceTableMagic,
                     sizeof kResourceTableMagic) == 0;
}

// The splash is drawn from a 24-bit uncompressed BMP; anything else is refused
// here rather than silently not shown.
void CheckSplashBitmap(const std::filesystem::path& path) {
  const std::vector<std::uint8_t> bmp = ReadWholeFile(path);
  if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M') {
    throw Failure(Describe(path, "not a BMP picture"));
  }
  const std::uint64_t bitsPerPixel = GetLittleEndian(bmp.data() + 28, 2);
  const std::uint64_t compression = GetLittleEndian(bmp.data() + 30, 4);
  if (bitsPerPixel != 24 || compression != 0) {
    throw Failure(Describe(path, "the splash must be an uncompressed 24-bit BMP"));
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
  if (CarriesResourceTable(stub)) {
    throw Failure(Describe(stubPath, "this stub already carries a resource table"));
  }
  std::vector<Resource> resources = {{"PACKAGE", kPackageResourceId, packagePath}};
  if (!options.Value("--splash").empty()) {
    resources.push_back({"BITMAP", kSplashBitmapId, options.Value("--splash")});
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

  std::vector<std::uint8_t> table;
  for (const Resource& resource : resources) {
    char type[kResourceTypeSize] = {};
    std::strncpy(type, resource.type, sizeof type - 1);
    table.insert(table.end(), type, type + sizeof type);
    PutLittleEndian(table, static_cast<std::uint64_t>(resource.id), 4);
    PutLittleEndian(table, 0, 4);
    PutLittleEndian(table, resource.offset, 8);
    PutLittleEndian(table, resource.size, 8);
  }
  PutLittleEndian(table, offset, 8);
  PutLittleEndian(table, resources.size(), 4);
  PutLittleEndian(table, 0, 4);
  table.insert(table.end(), kResourceTableMagic, kResourceTableMagic + sizeof kResourceTableMagic);
  out.Write(table.data(), table.size());
  out.MakeExecutable();
  out.Commit();
  return 0;
}

}  // namespace pack
