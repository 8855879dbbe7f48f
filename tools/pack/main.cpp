// mirelk-pack: makes packages and launchers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "tools/pack/pack.h"

namespace pack {

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  mirelk-pack create -o PACKAGE [--launch NAME] [--bundle-only]\n"
    "                     [--format lzma|xz] [--check crc32|crc64|sha256] [--threads N] FILE...\n"
    "  mirelk-pack list PACKAGE\n"
    "  mirelk-pack attach --stub STUB --package PACKAGE [--splash BMP] -o OUT\n";

}  // namespace

std::string Describe(const std::filesystem::path& path, const std::string& reason) {
  // Built piecewise: GCC 12 warns falsely on "literal" + std::string&&.
  std::string text(1, '\'');
  text += path.string();
  text += "': ";
  text += reason.empty() ? std::string(std::strerror(errno)) : reason;
  return text;
}

OutputFile::OutputFile(std::filesystem::path target) : target_(std::move(target)) {
  std::random_device random;
  const std::filesystem::path directory =
      target_.has_parent_path() ? target_.parent_path() : std::filesystem::path(".");
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    std::string name(1, '.');
    name += target_.filename().string();
    name += ".part";
    name += std::to_string(random() % 1000000);
    temporary_ = directory / name;
    fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd_ < 0) {
    throw Failure("cannot write " + Describe(target_));
  }
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    close(fd_);
  }
  if (!committed_) {
    unlink(temporary_.c_str());
  }
}

void OutputFile::Write(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = write(fd_, bytes, size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      throw Failure("cannot write " + Describe(target_));
    }
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
}

void OutputFile::MakeExecutable() {
  if (fchmod(fd_, 0755) != 0) {
    throw Failure("cannot make executable " + Describe(target_));
  }
}

void OutputFile::Commit() {
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0 || rename(temporary_.c_str(), target_.c_str()) != 0) {
    throw Failure("cannot write " + Describe(target_));
  }
  committed_ = true;
}

std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw Failure("cannot read " + Describe(path));
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) {
    throw Failure("cannot read " + Describe(path));
  }
  return bytes;
}

std::uint64_t CopyFileInto(const std::filesystem::path& path, OutputFile& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw Failure("cannot read " + Describe(path));
  }
  std::vector<char> buffer(1 << 20);
  std::uint64_t total = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    out.Write(buffer.data(), got);
    total += got;
  }
  if (in.bad()) {
    throw Failure("cannot read " + Describe(path));
  }
  return total;
}

std::string Options::Value(const std::string& name) const {
  for (const auto& [key, value] : values) {
    if (key == name) {
      return value;
    }
  }
  return {};
}

bool Options::Flag(const std::string& name) const {
  for (const std::string& flag : flags) {
    if (flag == name) {
      return true;
    }
  }
  return false;
}

Options ParseOptions(const std::vector<std::string>& args,
                     const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flagOptions) {
  auto known = [](const std::vector<std::string>& names, const std::string& arg) {
    for (const std::string& name : names) {
      if (name == arg) {
        return true;
      }
    }
    return false;
  };
  Options options;
  bool onlyFiles = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      options.positional.push_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (known(valueOptions, arg)) {
      if (i + 1 >= args.size()) {
        throw UsageError(arg + " needs a value");
      }
      if (!options.Value(arg).empty()) {
        throw UsageError(arg + " given twice");
      }
      if (args[i + 1].empty()) {
        throw UsageError(arg + " needs a non-empty value");
      }
      options.values.emplace_back(arg, args[i + 1]);
      ++i;
    } else if (known(flagOptions, arg)) {
      options.flags.push_back(arg);
    } else {
      throw UsageError("unknown option '" + arg + "'");
    }
  }
  return options;
}

}  // namespace pack

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 1 ? 2 : argc), argv + argc);
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "create") {
      return pack::Create(args);
    }
    if (command == "list") {
      return pack::List(args);
    }
    if (command == "attach") {
      return pack::Attach(args);
    }
    if (command == "--help" || command == "-h" || command == "help") {
      std::fputs(pack::kUsage, stdout);
      return 0;
    }
    throw pack::UsageError(command.empty() ? "no command given" : "unknown command '" + command + "'");
  } catch (const pack::UsageError& error) {
    std::fprintf(stderr, "mirelk-pack: %s\n%s", error.what(), pack::kUsage);
    return 2;
  } catch (const pack::Failure& error) {
    std::fprintf(stderr, "mirelk-pack: %s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "mirelk-pack: %s\n", error.what());
    return 1;
  }
}
