// mirelk-pack: what the files given to it are, so that a refusal names what a
// file really is, and the package check every command shares.
#include <lzma.h>

#include <algorithm>
#include <cstdio>

#include "authoring/elf_image.h"
#include "authoring/package_check.h"
#include "authoring/pe_image.h"
#include "format/resource_ids.h"
#include "format/resource_table.h"
#include "tools/pack/pack.h"

namespace pack {

namespace {

// Where an ELF image's headers and notes are: well within its first bytes.
constexpr std::size_t kHeadersSize = 64 * 1024;

struct FileStart {
  std::vector<std::uint8_t> bytes;
  bool whole = false;
};

FileStart ReadStart(sys::InputFile& file, const std::filesystem::path& path, std::size_t size) {
  FileStart start;
  start.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, file.Size())));
  std::size_t got = 0;
  if (!file.ReadAt(0, start.bytes.data(), start.bytes.size(), &got)) {
    throw Failure("cannot read " + Describe(path));
  }
  start.bytes.resize(got);
  start.whole = got == file.Size();
  return start;
}

// Whether the file ends in a resource table's magic.
bool EndsWithTable(sys::InputFile& file) {
  std::uint8_t tail[kResourceTrailerSize] = {};
  std::size_t got = 0;
  return file.Size() >= sizeof tail &&
         file.ReadAt(file.Size() - sizeof tail, tail, sizeof tail, &got) && got == sizeof tail &&
         EndsWithResourceMagic(tail, sizeof tail);
}

// What a Windows program is: a launcher carries the mark resource, and a
// launcher made from a stub its package too.
std::string KindOfWindowsProgram(sys::InputFile& file, const std::filesystem::path& path) {
  // A PE image's sizes are 32-bit: nothing larger is a launcher, and it is
  // not read into memory to find that out.
  if (file.Size() > pe::kLargestImageFile) {
    return "a Windows program";
  }
  const std::vector<std::uint8_t> image =
      ReadWhole(file, path, pe::kLargestImageFile, "larger than a Windows image can be");
  bool marked = false;
  bool packaged = false;
  try {
    for (const pe::Resource& resource : pe::ReadResources(image)) {
      marked = marked || resource.type == pe::ResourceKey::Text(LAUNCHER_MARK_TYPE);
      packaged = packaged || (resource.type == pe::ResourceKey::Text(kPackageResourceType) &&
                              resource.name == pe::ResourceKey::Number(PACKAGE_RESOURCE_ID));
    }
  } catch (const pe::FormatError&) {
    return "a Windows program, damaged";
  }
  if (!marked) {
    return "a Windows program";
  }
  return packaged ? kWindowsSetupKind : "a Mirelk launcher stub (Windows)";
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

std::string KindOfFile(sys::InputFile& file, const std::filesystem::path& path) {
  if (file.Size() == 0) {
    return "an empty file";
  }
  const FileStart start = ReadStart(file, path, kHeadersSize);
  if (elf::IsElfImage(start.bytes)) {
    if (!elf::CarriesLauncherMark(start.bytes)) {
      return "a program (ELF)";
    }
    return EndsWithTable(file) ? kPosixSetupKind : "a Mirelk launcher stub (POSIX)";
  }
  if (pe::IsPeImage(start.bytes)) {
    return KindOfWindowsProgram(file, path);
  }
  return {};
}

std::string XzDamage(int result, std::uint64_t decoded) {
  const std::string at = " after " + std::to_string(decoded) + " decoded bytes";
  switch (result) {
    case LZMA_BUF_ERROR:
      return "truncated package: the .xz data ends early" + at +
             ", or bytes that are not .xz follow it (the launcher would extract nothing)";
    case LZMA_NO_CHECK:
      return "the .xz stream has no integrity check; the launcher refuses it";
    case LZMA_UNSUPPORTED_CHECK:
      return "the .xz stream has an integrity check of an unknown kind; the launcher refuses it";
    case LZMA_MEMLIMIT_ERROR:
      return "decoding needs more than " + std::to_string(kXzMemoryLimit >> 20) +
             " MiB (a dictionary above 64 MiB); the launcher refuses it";
    case LZMA_OPTIONS_ERROR:
      return "the .xz data uses a filter or option the decoder does not support";
    default:
      return "damaged package: the .xz data is corrupt or fails its integrity check" + at +
             " (the launcher would extract nothing)";
  }
}

PackageKind CheckPackageFile(sys::InputFile& file, const std::filesystem::path& path) {
  const std::string kind = KindOfFile(file, path);
  if (!kind.empty()) {
    throw Failure(Describe(path, kind + ", not a package"));
  }
  const FileStart start = ReadStart(file, path, kPackageCheckInput);
  const PackageCheck check = CheckPackage(start.bytes.data(), start.bytes.size(), start.whole);
  const std::string after = " after " + std::to_string(check.decoded) + " decoded bytes";
  const LzmaProperties split = SplitLzmaProperties(check.header.properties);
  if (check.xz && check.verdict != kPackageStartsToDecode && check.verdict != kPackageNotBundle) {
    throw Failure(Describe(path, XzDamage(check.decoderResult, check.decoded)));
  }
  switch (check.verdict) {
    case kPackageStartsToDecode:
      return check.xz ? PackageKind::kXz : PackageKind::kLzmaAlone;
    case kPackageIsBundle:
      return PackageKind::kBundle;
    case kPackageTooShort:
      throw Failure(Describe(path, "not a package: shorter than its " +
                                       std::to_string(kPackageHeaderSize) + "-byte header"));
    case kPackageNotLzma:
      throw Failure(
          Describe(path, "not a package: no LZMA-Alone header, and what follows does not decode"));
    case kPackageUnsupportedProperties:
      throw Failure(Describe(path, "package with properties byte " + Hex(check.header.properties) +
                                       " (lc " + std::to_string(split.lc) + ", lp " +
                                       std::to_string(split.lp) + ", pb " +
                                       std::to_string(split.pb) +
                                       "): the launcher's decoder takes lc + lp and pb up to 4"));
    case kPackageDamaged:
      throw Failure(Describe(path, "damaged package: the compressed data is corrupt" + after +
                                       " (the launcher would extract nothing)"));
    case kPackageTruncated:
      throw Failure(Describe(
          path, "truncated package: the compressed data ends" + after +
                    (HasUnknownSize(check.header) ? " with no end mark"
                                                  : " short of the size its header gives")));
    case kPackageNotBundle:
      throw Failure(Describe(
          path, "a package, but not of a bundle: what it decodes to does not begin with \"HEN\""));
    case kPackageXzRefused:
      break;
  }
  throw Failure(Describe(path, "not a package"));
}

}  // namespace pack
