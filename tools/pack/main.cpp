// mirelk-pack: makes packages and launchers.
#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <random>

#include "tools/pack/pack.h"

namespace pack {

namespace {

// Each command's synopsis, and what `help COMMAND` adds to it.
struct CommandHelp {
  const char* name;
  const char* synopsis;
  const char* details;
};

constexpr CommandHelp kCommands[] = {
    {"create",
     "  mirelk-pack create -o PACKAGE [--launch PATH] [--bundle v1|v2] [--bundle-only]\n"
     "                     [--format lzma|xz] [--check crc32|crc64|sha256] [--threads N]\n"
     "                     FILE|DIR...\n",
     "Packs the files, and each folder as a whole tree, into a package. --launch\n"
     "names the installer by its path in the package; --bundle asks for the flat\n"
     "bundle (v1) or the tree bundle (v2) rather than the one the inputs need.\n"
     "--format xz writes .xz (integrity checks, decoded on several processors),\n"
     "lzma (the default) LZMA-Alone. The package is the same whatever --threads,\n"
     "and whatever the time or the inputs' file times.\n"},
    {"list", "  mirelk-pack list PACKAGE\n  mirelk-pack list --setup SETUP\n",
     "Shows what a package or a bundle carries; with --setup, a setup's settings\n"
     "and its package.\n"},
    {"attach",
     "  mirelk-pack attach (--target posix|windows|windows64 | --stub STUB) --package PACKAGE\n"
     "                     [--splash BMP] [--wait installer|all] [--exit-code launcher|installer] "
     "-o OUT\n"
     "      and for a Windows stub also: [--icon ICO] [--version-info KEY=VALUE]...\n"
     "      [--file-version A.B.C.D] [--product-version A.B.C.D]\n"
     "      [--execution-level asInvoker|highestAvailable|requireAdministrator]\n",
     "Makes a launcher: the stub with the package (and splash, icon, version values)\n"
     "written in. --target takes the stub this install carries for that system;\n"
     "--stub takes any other. A Windows setup's time stamp is SOURCE_DATE_EPOCH\n"
     "when set, else the stub's own.\n"},
};

std::string Usage() {
  std::string text = "usage:\n";
  for (const CommandHelp& command : kCommands) {
    text += command.synopsis;
  }
  text += "  mirelk-pack help [COMMAND]\n  mirelk-pack --version\n";
  return text;
}

int Help(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  if (args.size() > 1) {
    throw UsageError("help takes one command");
  }
  for (const CommandHelp& command : kCommands) {
    if (args.front() == command.name) {
      std::printf("usage:\n%s\n%s", command.synopsis, command.details);
      return 0;
    }
  }
  throw UsageError("no command '" + args.front() + "' to help with");
}

}  // namespace

std::string Describe(const std::filesystem::path& path, const std::string& reason) {
  const std::string why = reason.empty() ? sys::LastError() : reason;
  // Built piecewise: GCC 12 warns falsely on "literal" + std::string&&.
  std::string text(1, '\'');
  text += Shown(sys::TextOf(path));
  text += "': ";
  text += why;
  return text;
}

OutputFile::OutputFile(std::filesystem::path target) : target_(std::move(target)) {
  std::random_device random;
  const std::filesystem::path directory =
      target_.has_parent_path() ? target_.parent_path() : std::filesystem::path(".");
  bool created = false;
  for (int attempt = 0; attempt < 100 && !created; ++attempt) {
    // Built piecewise: GCC 12 warns falsely on "literal" + std::string&&.
    std::string name(1, '.');
    name += sys::TextOf(target_.filename());
    name += ".part";
    name += std::to_string(random() % 1000000);
    created = file_.Create(directory / sys::PathOf(name));
    if (!created && errno != EEXIST) {
      break;
    }
  }
  if (!created) {
    throw Failure("cannot write " + Describe(target_));
  }
}

void OutputFile::Write(const void* data, std::size_t size) {
  if (!file_.Write(data, size)) {
    throw Failure("cannot write " + Describe(target_));
  }
}

void OutputFile::MakeExecutable() {
  if (!file_.MakeExecutable()) {
    throw Failure("cannot make executable " + Describe(target_));
  }
}

void OutputFile::Commit() {
  if (!file_.Commit(target_)) {
    throw Failure("cannot write " + Describe(target_));
  }
}

Failure OutputIsInput(const std::filesystem::path& output, const std::filesystem::path& input) {
  std::string text = "-o '";
  text += Shown(sys::TextOf(output));
  text += "' is the same file as the input '";
  text += Shown(sys::TextOf(input));
  text += "': writing it would destroy the input";
  return Failure(text);
}

void CheckNotAnInput(const std::filesystem::path& output,
                     const std::vector<std::filesystem::path>& inputs) {
  for (const std::filesystem::path& input : inputs) {
    if (sys::SameFile(output, input)) {
      throw OutputIsInput(output, input);
    }
  }
}

std::string KindText(sys::InputKind kind) {
  switch (kind) {
    case sys::InputKind::kRegular:
      return "a regular file";
    case sys::InputKind::kMissing:
      return "no such file";
    case sys::InputKind::kDirectory:
      return "a directory";
    case sys::InputKind::kLink:
      return "a symbolic link";
    case sys::InputKind::kFifo:
      return "a FIFO";
    case sys::InputKind::kSocket:
      return "a socket";
    case sys::InputKind::kDevice:
      return "a device";
    case sys::InputKind::kError:
      break;
  }
  return sys::LastError();
}

sys::InputFile OpenInput(const std::filesystem::path& path, const char* notWhat, bool followLinks) {
  sys::InputFile file;
  const sys::InputKind kind = file.Open(path, followLinks);
  if (kind == sys::InputKind::kMissing || kind == sys::InputKind::kError) {
    throw Failure("cannot read " + Describe(path, KindText(kind)));
  }
  if (kind != sys::InputKind::kRegular) {
    throw Failure(Describe(path, KindText(kind) + ", not " + notWhat));
  }
  return file;
}

std::size_t InputCursor::Read(void* data, std::size_t size) {
  std::size_t got = 0;
  if (!file_.ReadAt(at_, data, size, &got)) {
    throw Failure("cannot read " + Describe(path_));
  }
  at_ += got;
  return got;
}

namespace {

// Fails unless the file ends where it ended when it was opened.
void CheckUnchanged(sys::InputFile& file, const std::filesystem::path& path, std::uint64_t read) {
  std::uint8_t probe = 0;
  std::size_t more = 0;
  if (read != file.Size() || !file.ReadAt(read, &probe, 1, &more) || more != 0) {
    throw Failure(Describe(path, "changed size while it was being read"));
  }
}

}  // namespace

std::vector<std::uint8_t> ReadWhole(sys::InputFile& file, const std::filesystem::path& path,
                                    std::uint64_t largest, const std::string& tooLarge) {
  if (file.Size() > largest) {
    throw Failure(Describe(path, tooLarge));
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.Size()));
  std::size_t got = 0;
  if (!file.ReadAt(0, bytes.data(), bytes.size(), &got)) {
    throw Failure("cannot read " + Describe(path));
  }
  CheckUnchanged(file, path, got);
  return bytes;
}

std::uint64_t CopyInto(sys::InputFile& file, const std::filesystem::path& path, OutputFile& out) {
  InputCursor in(file, path);
  std::vector<std::uint8_t> buffer(1 << 20);
  std::uint64_t total = 0;
  while (total < file.Size()) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file.Size() - total));
    const std::size_t got = in.Read(buffer.data(), want);
    if (got == 0) {
      break;
    }
    out.Write(buffer.data(), got);
    total += got;
  }
  CheckUnchanged(file, path, total);
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

std::vector<std::string> Options::Values(const std::string& name) const {
  std::vector<std::string> found;
  for (const auto& [key, value] : values) {
    if (key == name) {
      found.push_back(value);
    }
  }
  return found;
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
                     const std::vector<std::string>& flagOptions,
                     const std::vector<std::string>& repeatable) {
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
    } else if (known(valueOptions, arg) || known(repeatable, arg)) {
      if (i + 1 >= args.size()) {
        throw UsageError(arg + " needs a value");
      }
      if (!known(repeatable, arg) && !options.Value(arg).empty()) {
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
  std::vector<std::string> args = pack::sys::Arguments(argc, argv);
  const std::string command = args.empty() ? "" : args.front();
  if (!args.empty()) {
    args.erase(args.begin());
  }
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
    if (command == "help") {
      return pack::Help(args);
    }
    if (command == "--help" || command == "-h") {
      std::fputs(pack::Usage().c_str(), stdout);
      return 0;
    }
    if (command == "--version") {
      std::fputs("mirelk-pack " MIRELK_PACK_VERSION "\n", stdout);
      return 0;
    }
    throw pack::UsageError(command.empty() ? "no command given"
                                           : "unknown command '" + command + "'");
  } catch (const pack::UsageError& error) {
    std::fprintf(stderr, "mirelk-pack: %s\n%s", error.what(), pack::Usage().c_str());
    return 2;
  } catch (const pack::Failure& error) {
    std::fprintf(stderr, "mirelk-pack: %s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "mirelk-pack: %s\n", error.what());
    return 1;
  }
}
