// mirelk-pack attach: a launcher made from a stub, chosen by what the stub
// is. A Windows stub takes its resources in its resource section
// (authoring/launcher_resources.h); a POSIX stub has them appended as the POSIX
// resource table (format/resource_table.h).
#include <cstdlib>
#include <cstring>

#include "format/bmp.h"
#include "authoring/elf_image.h"
#include "authoring/launcher_resources.h"
#include "format/launcher_settings.h"
#include "format/resource_ids.h"
#include "format/resource_table.h"
#include "tools/pack/package_reader.h"

namespace pack {

namespace {

// The splash is drawn from the picture the launcher reads; anything it would
// refuse is refused here rather than silently not shown. Windows stubs take
// the same kind of picture: one splash for every system.
std::vector<std::uint8_t> CheckSplashBitmap(sys::InputFile& file,
                                            const std::filesystem::path& path) {
  std::vector<std::uint8_t> bmp =
      ReadWhole(file, path, kLargestSplashFile,
                "larger than " + std::to_string(kLargestSplashFile >> 20) +
                    " MiB; a splash picture the launcher shows (at most " +
                    std::to_string(kLargestPictureSide) + " x " +
                    std::to_string(kLargestPictureSide) + " pixels) is smaller");
  BmpLayout layout = {};
  switch (ReadBmpLayout(bmp.data(), bmp.size(), &layout)) {
    case kBmpReadable:
      return bmp;
    case kNotBmp:
      throw Failure(Describe(path, "not a BMP picture"));
    case kBmpUnsupported:
      throw Failure(Describe(path, "the splash must be an uncompressed 24-bit BMP of at most " +
                                       std::to_string(kLargestPictureSide) + " x " +
                                       std::to_string(kLargestPictureSide) + " pixels"));
    case kBmpDamaged:
      throw Failure(Describe(path, "damaged BMP picture: its sizes do not fit the file"));
  }
  throw Failure(Describe(path, "not a BMP picture"));
}

// The options that write Windows resources, which a POSIX launcher does not have.
constexpr const char* kWindowsOptions[] = {"--icon", "--version-info", "--file-version",
                                           "--product-version", "--execution-level"};

// The launcher settings record of --wait and --exit-code; empty when neither
// is given, so that the setup carries none and behaves as without them.
std::vector<std::uint8_t> SettingsRecord(const Options& options) {
  const std::string wait = options.Value("--wait");
  const std::string exitCode = options.Value("--exit-code");
  if (wait.empty() && exitCode.empty()) {
    return {};
  }
  if (!wait.empty() && wait != "installer" && wait != "all") {
    throw UsageError("--wait '" + wait + "': not installer or all");
  }
  if (!exitCode.empty() && exitCode != "launcher" && exitCode != "installer") {
    throw UsageError("--exit-code '" + exitCode + "': not launcher or installer");
  }
  std::vector<std::uint8_t> record(kLauncherSettingsSize);
  WriteLauncherSettings({wait == "all", exitCode == "installer"}, record.data());
  return record;
}

// The inputs, each opened once; a path is empty when the option was not given.
struct Inputs {
  std::filesystem::path stub;
  std::filesystem::path package;
  std::filesystem::path splash;
  std::filesystem::path icon;
  sys::InputFile stubFile;
  sys::InputFile packageFile;
  sys::InputFile splashFile;
  sys::InputFile iconFile;
};

// The link time stamp a Windows setup carries: SOURCE_DATE_EPOCH when set
// (seconds since 1970, as reproducible builds give it), else the stub's own.
// Never the clock: the same inputs make the same setup.
std::optional<std::uint32_t> TimeStampFromEnvironment() {
  const char* value = std::getenv("SOURCE_DATE_EPOCH");
  if (value == nullptr || *value == '\0') {
    return std::nullopt;
  }
  std::uint64_t seconds = 0;
  bool valid = true;
  for (const char* at = value; *at != '\0' && valid; ++at) {
    valid = *at >= '0' && *at <= '9' && seconds <= 0xFFFFFFFFu;
    seconds = seconds * 10 + static_cast<std::uint64_t>(*at - '0');
  }
  if (!valid || seconds > 0xFFFFFFFFu) {
    throw Failure(
        "SOURCE_DATE_EPOCH '" + std::string(value) +
        "': not a count of seconds since 1970 that a Windows time stamp holds (0 to 4294967295)");
  }
  return static_cast<std::uint32_t>(seconds);
}

// Runs `step`, naming `what` (a file, an option) in its refusal.
template <typename Step>
auto About(const std::string& what, Step step) {
  try {
    return step();
  } catch (const pe::FormatError& error) {
    throw Failure(what + ": " + error.what());
  }
}

std::string Quoted(const std::filesystem::path& path) {
  std::string text(1, '\'');
  text += Shown(sys::TextOf(path));
  text += '\'';
  return text;
}

// The stubs an install carries, relative to the directory of mirelk-pack
// itself (cmake/install.cmake lays them out and defines these), so that a
// relocated install finds its own.
struct InstalledStub {
  const char* target;
  const char* path;
  const char* kind;  // for the message when the file there is of another kind
};
constexpr InstalledStub kInstalledStubs[] = {
    {"posix", MIRELK_INSTALLED_POSIX_STUB, "a POSIX launcher stub"},
    {"windows", MIRELK_INSTALLED_WINDOWS_STUB, "a 32-bit Windows (PE32) launcher stub"},
    {"windows64", MIRELK_INSTALLED_WINDOWS64_STUB, "a 64-bit Windows (PE32+) launcher stub"},
};

const InstalledStub& InstalledStubFor(const std::string& target) {
  for (const InstalledStub& stub : kInstalledStubs) {
    if (target == stub.target) {
      return stub;
    }
  }
  throw UsageError("--target takes posix, windows or windows64, not '" + target + "'");
}

std::filesystem::path InstalledStubPath(const InstalledStub& stub) {
  const std::filesystem::path self = sys::ExecutablePath();
  if (self.empty()) {
    throw Failure("cannot find the stub for --target " + std::string(stub.target) +
                  ": the system does not say where mirelk-pack is; give --stub");
  }
  const std::filesystem::path path =
      (self.parent_path() / sys::PathOf(stub.path)).lexically_normal();
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw Failure("no stub for --target " + std::string(stub.target) +
                  " in this install: " + Describe(path, "no such file") + "; give --stub");
  }
  return path;
}

// A stub found by --target must be of that target: an install with a stub of
// the wrong kind in a stub's place would make setups for another system.
void CheckInstalledStubKind(const InstalledStub& wanted, const std::filesystem::path& path,
                            const std::vector<std::uint8_t>& stub) {
  const std::string target = wanted.target;
  bool matches = false;
  if (target == "posix") {
    matches = !pe::IsPeImage(stub);  // and CheckPosixStub names what else it is
  } else if (pe::IsPeImage(stub)) {
    const pe::ImageKind kind = About(Quoted(path), [&] { return pe::KindOf(stub); });
    matches = (kind == pe::ImageKind::kPe32) == (target == "windows");
  }
  if (!matches) {
    throw Failure(Describe(path, std::string("the install's stub for --target ") + wanted.target +
                                     " is not " + wanted.kind));
  }
}

// A POSIX launcher stub carries the launcher's mark note and no resources yet.
void CheckPosixStub(const std::filesystem::path& path, const std::vector<std::uint8_t>& stub) {
  if (!elf::IsElfImage(stub)) {
    throw Failure(Describe(path, "not a launcher stub: neither a Windows nor an ELF program"));
  }
  if (!elf::CarriesLauncherMark(stub)) {
    throw Failure(Describe(
        path, "not a Mirelk launcher stub: a program without the launcher's " LAUNCHER_MARK_TYPE
              " mark note"));
  }
  if (EndsWithResourceMagic(stub.data(), stub.size())) {
    throw Failure(Describe(path, "this stub already carries a resource table"));
  }
}

void AttachPosix(const Options& options, Inputs& inputs, const std::vector<std::uint8_t>& stub,
                 const std::filesystem::path& outPath) {
  CheckPosixStub(inputs.stub, stub);
  for (const char* option : kWindowsOptions) {
    if (!options.Values(option).empty()) {
      throw Failure(Describe(
          inputs.stub,
          std::string(option) + " writes Windows resources; this is a POSIX launcher stub"));
    }
  }
  struct Resource {
    const char* type;
    int id;
    sys::InputFile* file;
    const std::filesystem::path* path;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
  };
  std::vector<Resource> resources = {
      {kPackageResourceType, PACKAGE_RESOURCE_ID, &inputs.packageFile, &inputs.package}};
  if (!inputs.splash.empty()) {
    CheckSplashBitmap(inputs.splashFile, inputs.splash);
    resources.push_back(
        {kBitmapResourceType, SPLASH_BITMAP_ID, &inputs.splashFile, &inputs.splash});
  }
  // The settings are written from memory, after the files.
  const std::vector<std::uint8_t> settings = SettingsRecord(options);
  if (!settings.empty()) {
    resources.push_back({LAUNCHER_MARK_TYPE, LAUNCHER_SETTINGS_ID, nullptr, nullptr});
  }

  OutputFile out(outPath);
  out.Write(stub.data(), stub.size());
  std::uint64_t offset = stub.size();
  for (Resource& resource : resources) {
    resource.offset = offset;
    if (resource.file == nullptr) {
      out.Write(settings.data(), settings.size());
      resource.size = settings.size();
    } else {
      resource.size = CopyInto(*resource.file, *resource.path, out);
    }
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
}

// The version values: --version-info KEY=VALUE pairs, with --file-version and
// --product-version standing for their keys.
std::vector<std::pair<std::string, std::string>> VersionValues(const Options& options) {
  std::vector<std::pair<std::string, std::string>> values;
  for (const std::string& pair : options.Values("--version-info")) {
    const std::size_t equals = pair.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw Failure("--version-info '" + pair + "': not KEY=VALUE");
    }
    values.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
  }
  if (!options.Value("--file-version").empty()) {
    values.emplace_back("FileVersion", options.Value("--file-version"));
  }
  if (!options.Value("--product-version").empty()) {
    values.emplace_back("ProductVersion", options.Value("--product-version"));
  }
  return values;
}

// Every input is read and checked before the output is begun, so that any
// refusal leaves nothing behind.
void AttachWindows(const Options& options, Inputs& inputs, const std::vector<std::uint8_t>& stub,
                   const std::filesystem::path& outPath) {
  About(Quoted(inputs.stub), [&] { pe::CheckLauncherStub(stub); });
  pe::LauncherResources resources;
  // A resource, the package too, ends below 2 GiB in the image.
  resources.package = ReadWhole(inputs.packageFile, inputs.package, pe::kLargestResourceEnd,
                                "larger than a Windows setup can carry (its image stays below "
                                "2 GiB); make a POSIX setup, or pack less");
  if (!inputs.splash.empty()) {
    const std::vector<std::uint8_t> bmp = CheckSplashBitmap(inputs.splashFile, inputs.splash);
    resources.splash = About(Quoted(inputs.splash), [&] { return pe::BitmapFromBmpFile(bmp); });
  }
  if (!inputs.icon.empty()) {
    const std::vector<std::uint8_t> ico =
        ReadWhole(inputs.iconFile, inputs.icon, pe::kLargestIconFile,
                  "larger than an icon file can be (its images hold at most " +
                      std::to_string(pe::kLargestIconImages >> 20) + " MiB)");
    resources.icon = About(Quoted(inputs.icon), [&] { return pe::ReadIcoFile(ico); });
  }
  const std::vector<std::pair<std::string, std::string>> values = VersionValues(options);
  if (!values.empty()) {
    resources.version = About("version information", [&] {
      pe::VersionInfo info = pe::LauncherVersionInfo(values);
      pe::EncodeVersionInfo(info);  // refuses what does not fit before anything is written
      return info;
    });
  }
  const std::string level = options.Value("--execution-level");
  if (!level.empty()) {
    resources.executionLevel =
        About("--execution-level", [&] { return pe::ParseExecutionLevel(level); });
  }
  const std::optional<std::uint32_t> stamp = TimeStampFromEnvironment();
  const std::vector<std::uint8_t> settings = SettingsRecord(options);
  if (!settings.empty()) {
    resources.settings = settings;
  }
  std::vector<std::uint8_t> image =
      About(Quoted(inputs.stub), [&] { return pe::WriteLauncherResources(stub, resources); });
  if (stamp) {
    pe::SetTimeStamp(image, *stamp);
  }

  OutputFile out(outPath);
  out.Write(image.data(), image.size());
  out.MakeExecutable();
  out.Commit();
}

}  // namespace

int Attach(const std::vector<std::string>& args) {
  const Options options =
      ParseOptions(args,
                   {"--stub", "--target", "--package", "--splash", "--icon", "--file-version",
                    "--product-version", "--execution-level", "--wait", "--exit-code", "-o"},
                   {}, {"--version-info"});
  if (!options.positional.empty()) {
    throw UsageError("attach takes no file arguments");
  }
  const std::string target = options.Value("--target");
  if (!target.empty() && !options.Value("--stub").empty()) {
    throw UsageError("attach takes --stub or --target, not both");
  }
  if ((target.empty() && options.Value("--stub").empty()) || options.Value("--package").empty() ||
      options.Value("-o").empty()) {
    throw UsageError("attach needs --target or --stub, --package and -o");
  }
  const InstalledStub* installed = target.empty() ? nullptr : &InstalledStubFor(target);
  Inputs inputs;
  inputs.stub =
      installed != nullptr ? InstalledStubPath(*installed) : sys::PathOf(options.Value("--stub"));
  inputs.package = sys::PathOf(options.Value("--package"));
  if (!options.Value("--splash").empty()) {
    inputs.splash = sys::PathOf(options.Value("--splash"));
  }
  if (!options.Value("--icon").empty()) {
    inputs.icon = sys::PathOf(options.Value("--icon"));
  }
  const std::filesystem::path outPath = sys::PathOf(options.Value("-o"));
  SettingsRecord(options);  // a wrong value is refused before any file is read

  // Each input is opened once, here, and everything is read through what was
  // opened; the output may be none of them.
  inputs.stubFile = OpenInput(inputs.stub);
  inputs.packageFile = OpenInput(inputs.package);
  if (!inputs.splash.empty()) {
    inputs.splashFile = OpenInput(inputs.splash);
  }
  if (!inputs.icon.empty()) {
    inputs.iconFile = OpenInput(inputs.icon);
  }
  for (const auto& [file, path] :
       {std::pair{&inputs.stubFile, &inputs.stub}, std::pair{&inputs.packageFile, &inputs.package},
        std::pair{&inputs.splashFile, &inputs.splash}, std::pair{&inputs.iconFile, &inputs.icon}}) {
    if (file->Is(outPath)) {
      throw OutputIsInput(outPath, *path);
    }
  }
  const PackageKind kind = CheckPackageFile(inputs.packageFile, inputs.package);
  if (kind == PackageKind::kBundle) {
    throw Failure(Describe(inputs.package,
                           "an uncompressed bundle, not a package "
                           "(mirelk-pack create makes one without --bundle-only)"));
  }
  CheckPackageEnd(inputs.packageFile, inputs.package, kind);
  const std::vector<std::uint8_t> stub = ReadWhole(
      inputs.stubFile, inputs.stub, kLargestStubSize,
      "larger than " + std::to_string(kLargestStubSize >> 20) + " MiB; not a launcher stub");
  if (installed != nullptr) {
    CheckInstalledStubKind(*installed, inputs.stub, stub);
  }
  if (pe::IsPeImage(stub)) {
    AttachWindows(options, inputs, stub, outPath);
  } else {
    AttachPosix(options, inputs, stub, outPath);
  }
  return 0;
}

}  // namespace pack
