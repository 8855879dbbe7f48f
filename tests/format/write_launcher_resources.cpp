// Test driver: writes a launcher's resources into a Windows launcher stub with
// the options `mirelk-pack attach` will take, so that the tests can check the
// result with independent readers and Wine.
//
//   write-launcher-resources --stub STUB.exe --package PKG [--splash BMP]
//       [--icon ICO] [--version-info KEY=VALUE]... [--file-version A.B.C.D]
//       [--product-version A.B.C.D] [--execution-level LEVEL] -o OUT.exe
//
// Errors: one line on stderr, exit status 1, no output file.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "format/launcher_resources.h"

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read '" + path + "'");
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `step`, naming `path` in its error.
template <typename Step>
auto About(const std::string& path, Step step) {
  try {
    return step();
  } catch (const pe::FormatError& error) {
    throw std::runtime_error("'" + path + "': " + error.what());
  }
}

int Run(const std::vector<std::string>& args) {
  std::string stubPath;
  std::string outPath;
  pe::LauncherResources resources;
  std::vector<std::pair<std::string, std::string>> versionValues;
  bool packageGiven = false;
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string& option = args[k];
    if (k + 1 == args.size()) {
      throw std::runtime_error(option + " needs a value");
    }
    const std::string& value = args[++k];
    if (option == "--stub") {
      stubPath = value;
    } else if (option == "-o") {
      outPath = value;
    } else if (option == "--package") {
      resources.package = ReadFile(value);
      packageGiven = true;
    } else if (option == "--splash") {
      resources.splash = About(value, [&] { return pe::BitmapFromBmpFile(ReadFile(value)); });
    } else if (option == "--icon") {
      resources.icon = About(value, [&] { return pe::ReadIcoFile(ReadFile(value)); });
    } else if (option == "--version-info" && value.find('=') != std::string::npos) {
      versionValues.emplace_back(value.substr(0, value.find('=')), value.substr(value.find('=') + 1));
    } else if (option == "--file-version") {
      versionValues.emplace_back("FileVersion", value);
    } else if (option == "--product-version") {
      versionValues.emplace_back("ProductVersion", value);
    } else if (option == "--execution-level") {
      resources.executionLevel = pe::ParseExecutionLevel(value);
    } else {
      throw std::runtime_error("unknown option or value: " + option + " " + value);
    }
  }
  if (stubPath.empty() || outPath.empty() || !packageGiven) {
    throw std::runtime_error("needs --stub, --package and -o");
  }
  if (!versionValues.empty()) {
    resources.version = pe::LauncherVersionInfo(versionValues);
  }
  const std::vector<std::uint8_t> stub = ReadFile(stubPath);
  const std::vector<std::uint8_t> out =
      About(stubPath, [&] { return pe::WriteLauncherResources(stub, resources); });
  std::ofstream file(outPath, std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (!file.flush()) {
    throw std::runtime_error("cannot write '" + outPath + "'");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "write-launcher-resources: %s\n", error.what());
    return 1;
  }
}
