// mirelk-pack create: files into a bundle, the bundle into a package.
#include <lzma.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "format/package.h"
#include "format/tree_bundle.h"
#include "tools/pack/pack.h"

namespace pack {

namespace {

struct Input {
  std::filesystem::path file;
  std::string name;   // as the bundle holds it
  std::string shown;  // as the command line and the messages have it
  std::uint64_t size = 0;
  // For a tree bundle: the '/'-separated path as given (UTF-8 on Windows),
  // whether it is a folder, and whether it is marked executable.
  std::string path;
  bool directory = false;
  bool executable = false;
  // Found in a folder's walk, where a link is refused rather than followed.
  bool walked = false;
};

// A command-line argument that names a folder: the folder and the name its
// tree goes under (its base name, whatever the spelling: "sub/", "./sub").
bool IsFolderArgument(const std::filesystem::path& file, std::filesystem::path* base) {
  std::error_code error;
  if (!std::filesystem::is_directory(file, error)) {
    return false;
  }
  std::filesystem::path normal = std::filesystem::absolute(file, error).lexically_normal();
  if (!normal.has_filename()) {
    normal = normal.parent_path();
  }
  *base = normal.filename();
  return true;
}

// Every folder and file below `root`, as entries under `base`, sorted by
// their paths' bytes; links, devices, FIFOs and sockets are refused.
void CollectTree(const std::filesystem::path& root, const std::string& base,
                 std::vector<Input>& out) {
  std::vector<Input> tree;
  Input top;
  top.file = root;
  top.path = base;
  top.shown = base;
  top.directory = true;
  tree.push_back(top);
  std::error_code error;
  std::filesystem::recursive_directory_iterator walk(root, error);
  if (error) {
    throw Failure("cannot read " + Describe(root, error.message()));
  }
  for (; walk != std::filesystem::recursive_directory_iterator(); walk.increment(error)) {
    if (error) {
      throw Failure("cannot read " + Describe(walk->path(), error.message()));
    }
    Input input;
    input.file = walk->path();
    input.walked = true;
    input.path = base;
    for (const std::filesystem::path& component : input.file.lexically_relative(root)) {
      input.path += '/';
      input.path += sys::TextOf(component);
    }
    input.shown = input.path;
    const std::filesystem::file_status status = walk->symlink_status(error);
    if (std::filesystem::is_symlink(status)) {
      throw Failure(Describe(input.file, "a symbolic link; a package carries no links"));
    }
    if (std::filesystem::is_directory(status)) {
      input.directory = true;
    } else if (!std::filesystem::is_regular_file(status)) {
      throw Failure(Describe(input.file,
                             "a device, FIFO or socket; a package carries files and folders only"));
    }
    tree.push_back(input);
  }
  std::sort(tree.begin(), tree.end(),
            [](const Input& a, const Input& b) { return a.path < b.path; });
  out.insert(out.end(), tree.begin(), tree.end());
}

// What a file argument names, looked at without opening it, so that the
// inputs are refused early; PutFileData's open checks again.
void CheckRegularByName(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::file_type type = std::filesystem::status(path, error).type();
  if (type == std::filesystem::file_type::regular) {
    return;
  }
  if (type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none) {
    throw Failure("cannot read " + Describe(path, "no such file"));
  }
  using Type = std::filesystem::file_type;
  const sys::InputKind kind = type == Type::fifo        ? sys::InputKind::kFifo
                              : type == Type::socket    ? sys::InputKind::kSocket
                              : type == Type::directory ? sys::InputKind::kDirectory
                                                        : sys::InputKind::kDevice;
  throw Failure(Describe(path, KindText(kind) + ", not a regular file"));
}

// Sizes of the files and their executable flags, for the bundle's layout.
// Each file is opened once, when its data is written (PutFileData), and has
// to be what was measured then.
void MeasureFiles(std::vector<Input>& inputs) {
  for (Input& input : inputs) {
    if (input.directory) {
      continue;
    }
    std::error_code error;
    input.size = std::filesystem::file_size(input.file, error);
    if (error) {
      throw Failure("cannot read " + Describe(input.file, error.message()));
    }
    if (input.size > kLargestEntrySize) {
      throw Failure(Describe(input.file, "larger than 4 GiB - 1 bytes, the most one entry holds"));
    }
    input.executable = sys::IsExecutableFile(input.file);
  }
}

// The inputs as tree bundle entries: the files as given, the folders' trees.
std::vector<Input> CollectTreeInputs(const std::vector<std::string>& files) {
  std::vector<Input> inputs;
  for (const std::string& file : files) {
    const std::filesystem::path path = sys::PathOf(file);
    std::filesystem::path base;
    std::error_code error;
    if (IsFolderArgument(path, &base)) {
      CollectTree(path, sys::TextOf(base), inputs);
      continue;
    }
    Input input;
    input.file = path;
    input.shown = input.path = sys::TextOf(path.filename());
    CheckRegularByName(path);
    inputs.push_back(input);
  }
  std::set<std::string> paths;
  for (const Input& input : inputs) {
    if (!IsAcceptableEntryPath(input.path.data(), input.path.size())) {
      throw Failure(Describe(input.file, "the launcher refuses the entry path '" +
                                             Shown(input.path) +
                                             "' (UTF-8 names without control characters or "
                                             "< > \" | ? *, at most " +
                                             std::to_string(kLongestEntryPath) + " bytes)"));
    }
    if (!paths.insert(input.path).second) {
      throw Failure(
          Describe(input.file, "another input has the same name '" + Shown(input.path) + "'"));
    }
  }
  MeasureFiles(inputs);
  return inputs;
}

std::vector<Input> CollectInputs(const std::vector<std::string>& files) {
  std::vector<Input> inputs;
  std::set<std::string> names;
  for (const std::string& file : files) {
    Input input;
    input.file = sys::PathOf(file);
    input.shown = sys::TextOf(input.file.filename());
    const std::string shown = Shown(input.shown);
    if (!sys::EntryNameOf(input.file, &input.name)) {
      throw Failure(
          Describe(input.file, "the name '" + shown + "' has no form in this system's code page"));
    }
    CheckRegularByName(input.file);
    // Every launcher must write it: the POSIX launcher reads the bytes, the
    // Windows one refuses Windows' reserved characters.
    if (!IsPortableEntryName(input.name.data(), input.name.size())) {
      throw Failure(Describe(input.file, "a launcher refuses the entry name '" + shown +
                                             "' (no separator, colon, control character, "
                                             "< > \" | ? *, trailing dot or blank, or device "
                                             "name)"));
    }
    if (!names.insert(input.name).second) {
      throw Failure(Describe(input.file, "another input has the same name '" + shown + "'"));
    }
    input.path = input.shown;
    inputs.push_back(input);
  }
  MeasureFiles(inputs);
  return inputs;
}

// Whether the flat bundle, which every launcher reads, holds the payload as
// it is: files only, every name ASCII, none marked executable but the launch
// entry (which the launcher makes executable anyway).
bool FitsFlatBundle(const std::vector<Input>& inputs, int launchIndex) {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const Input& input = inputs[i];
    if (input.directory || (input.executable && static_cast<int>(i) != launchIndex)) {
      return false;
    }
    for (const char c : input.path) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        return false;
      }
    }
  }
  return true;
}

std::uint64_t BundleSize(const std::vector<Input>& inputs, bool tree) {
  std::uint64_t total = tree ? kTreeBundleHeaderSize : kBundleHeaderSize;
  for (const Input& input : inputs) {
    total += tree ? TreeRecordSize(input.path.size(), input.size)
                  : BundleRecordSize(input.name.size(), input.size);
  }
  return total;
}

// Where bundle bytes go: straight to the output, or through the encoder.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void Put(const std::uint8_t* data, std::size_t size) = 0;
};

class FileSink : public Sink {
 public:
  explicit FileSink(OutputFile& out) : out_(out) {}
  void Put(const std::uint8_t* data, std::size_t size) override { out_.Write(data, size); }

 private:
  OutputFile& out_;
};

// Shows how far compression has got when standard error is a terminal.
class Progress {
 public:
  explicit Progress(std::uint64_t total) : total_(total), shown_(sys::StandardErrorIsTerminal()) {}
  void Consumed(std::uint64_t size) {
    consumed_ += size;
    if (!shown_ || total_ == 0) {
      return;
    }
    const int percent = static_cast<int>(consumed_ * 100 / total_);
    if (percent != lastPercent_) {
      lastPercent_ = percent;
      std::fprintf(stderr, "\rcompressing: %3d%% of %llu bytes", percent,
                   static_cast<unsigned long long>(total_));
    }
  }
  void Done() {
    if (shown_) {
      std::fputs("\n", stderr);
    }
  }

 private:
  std::uint64_t total_;
  std::uint64_t consumed_ = 0;
  bool shown_;
  int lastPercent_ = -1;
};

// The bundle through a liblzma encoder, which the subclass starts.
class EncoderSink : public Sink {
 public:
  EncoderSink(OutputFile& out, std::uint64_t total) : out_(out), progress_(total) {}
  ~EncoderSink() override { lzma_end(&stream_); }

  void Put(const std::uint8_t* data, std::size_t size) override {
    stream_.next_in = data;
    stream_.avail_in = size;
    while (stream_.avail_in > 0) {
      Code(LZMA_RUN);
    }
    progress_.Consumed(size);
  }

  void Finish() {
    while (Code(LZMA_FINISH) != LZMA_STREAM_END) {
    }
    progress_.Done();
  }

 protected:
  // The strongest preset, with the dictionary the decoder will be told of.
  static lzma_options_lzma StrongestPreset(std::uint32_t dictionarySize) {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME)) {
      throw Failure("the LZMA encoder has no strongest preset");
    }
    options.dict_size = dictionarySize;
    return options;
  }

  lzma_stream stream_ = LZMA_STREAM_INIT;

 private:
  lzma_ret Code(lzma_action action) {
    std::uint8_t buffer[1 << 16];
    stream_.next_out = buffer;
    stream_.avail_out = sizeof buffer;
    const lzma_ret result = lzma_code(&stream_, action);
    if (result != LZMA_OK && result != LZMA_STREAM_END) {
      throw Failure("the LZMA encoder failed (code " + std::to_string(result) + ")");
    }
    out_.Write(buffer, sizeof buffer - stream_.avail_out);
    return result;
  }

  OutputFile& out_;
  Progress progress_;
};

// Raw LZMA1 without an end-of-stream marker: the header carries the size.
class AloneEncoderSink : public EncoderSink {
 public:
  AloneEncoderSink(OutputFile& out, std::uint64_t total) : EncoderSink(out, total) {
    // The header announces these values; the stream must keep to them.
    lzma_options_lzma options = StrongestPreset(kPackageDictionarySize);
    const LzmaProperties properties = SplitLzmaProperties(kPackageProperties);
    options.lc = properties.lc;
    options.lp = properties.lp;
    options.pb = properties.pb;
    options.ext_flags = 0;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_raw_encoder(&stream_, filters) != LZMA_OK) {
      throw Failure("cannot start the LZMA encoder");
    }
  }
};

// An .xz stream of kXzBlockSize blocks, with their sizes in the block headers
// (so that the launcher can decode them in parallel). The blocks, and so the
// package, are the same whatever the thread count.
class XzEncoderSink : public EncoderSink {
 public:
  XzEncoderSink(OutputFile& out, std::uint64_t total, lzma_check check, std::uint32_t threads)
      : EncoderSink(out, total) {
    lzma_options_lzma options = StrongestPreset(kXzDictionarySize);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_mt mt = {};
    mt.threads = threads;
    mt.block_size = kXzBlockSize;
    mt.filters = filters;
    mt.check = check;
    const lzma_ret result = lzma_stream_encoder_mt(&stream_, &mt);
    if (result == LZMA_MEM_ERROR) {
      throw Failure("not enough memory for " + std::to_string(threads) +
                    " compression threads; try fewer (--threads)");
    }
    if (result != LZMA_OK) {
      throw Failure("cannot start the .xz encoder (code " + std::to_string(result) + ")");
    }
  }
};

// An entry's data, read through the one open of its file, which must be the
// regular file of the size measured: a file swapped for a FIFO or a device is
// refused without waiting on it, and one that changed size since it was
// measured would break the bundle's layout.
void PutFileData(const Input& input, std::vector<std::uint8_t>& buffer, Sink& sink) {
  sys::InputFile file = OpenInput(input.file, "a regular file", !input.walked);
  if (file.Size() != input.size) {
    throw Failure(Describe(input.file, "changed size while it was being packed"));
  }
  InputCursor in(file, input.file);
  std::uint64_t copied = 0;
  while (copied < input.size) {
    const std::uint64_t want = std::min<std::uint64_t>(buffer.size(), input.size - copied);
    const std::size_t got = in.Read(buffer.data(), static_cast<std::size_t>(want));
    if (got == 0) {
      break;
    }
    sink.Put(buffer.data(), got);
    copied += got;
  }
  std::uint8_t probe;
  if (copied != input.size || in.Read(&probe, 1) != 0) {
    throw Failure(Describe(input.file, "changed size while it was being packed"));
  }
}

void WriteTreeBundle(const std::vector<Input>& inputs, int launchIndex, Sink& sink) {
  std::uint8_t header[kTreeBundleHeaderSize];
  WriteTreeBundleHeader(static_cast<std::uint32_t>(inputs.size()),
                        launchIndex >= 0 ? static_cast<std::uint32_t>(launchIndex) : kNoLaunchEntry,
                        header);
  sink.Put(header, sizeof header);
  std::vector<std::uint8_t> buffer(1 << 20);
  for (const Input& input : inputs) {
    std::vector<std::uint8_t> record;
    const std::uint32_t kind = input.directory    ? kTreeDirectory
                               : input.executable ? kTreeExecutableFile
                                                  : kTreeFile;
    AppendLittleEndian(record, kind, kBundleFieldSize);
    AppendLittleEndian(record, input.path.size(), kBundleFieldSize);
    record.insert(record.end(), input.path.begin(), input.path.end());
    AppendLittleEndian(record, input.size, kBundleFieldSize);
    sink.Put(record.data(), record.size());
    if (!input.directory) {
      PutFileData(input, buffer, sink);
    }
  }
}

void WriteBundle(const std::vector<Input>& inputs, int launchIndex, bool tree, Sink& sink) {
  if (tree) {
    WriteTreeBundle(inputs, launchIndex, sink);
    return;
  }
  std::uint8_t header[kBundleHeaderSize];
  const BundleHeader fields = {static_cast<std::int32_t>(inputs.size()), launchIndex >= 0 ? 1u : 0u,
                               launchIndex >= 0 ? launchIndex : 0};
  WriteBundleHeader(fields, header);
  sink.Put(header, sizeof header);

  std::vector<std::uint8_t> buffer(1 << 20);
  for (const Input& input : inputs) {
    std::vector<std::uint8_t> record;
    AppendLittleEndian(record, input.name.size(), kBundleFieldSize);
    record.insert(record.end(), input.name.begin(), input.name.end());
    AppendLittleEndian(record, input.size, kBundleFieldSize);
    sink.Put(record.data(), record.size());
    PutFileData(input, buffer, sink);
  }
}

// More compression threads than this would only take memory.
constexpr unsigned long kMostCompressionThreads = 1024;

// What --format, --check and --threads ask for.
struct Encoding {
  bool xz = false;
  lzma_check check = LZMA_CHECK_CRC64;
  std::uint32_t threads = 1;
};

Encoding ParseEncoding(const Options& options) {
  Encoding encoding;
  const std::string format = options.Value("--format");
  if (format == "xz") {
    encoding.xz = true;
  } else if (!format.empty() && format != "lzma") {
    throw UsageError("--format takes lzma or xz, not '" + format + "'");
  }
  const std::string check = options.Value("--check");
  const std::string threads = options.Value("--threads");
  if (!encoding.xz && (!check.empty() || !threads.empty())) {
    throw UsageError(std::string(check.empty() ? "--threads" : "--check") + " needs --format xz");
  }
  if (options.Flag("--bundle-only") && !format.empty()) {
    throw UsageError("--bundle-only writes no package, so it takes no --format");
  }
  if (check == "crc32") {
    encoding.check = LZMA_CHECK_CRC32;
  } else if (check == "sha256") {
    encoding.check = LZMA_CHECK_SHA256;
  } else if (!check.empty() && check != "crc64") {
    throw UsageError("--check takes crc32, crc64 or sha256, not '" + check + "'");
  }
  if (threads.empty()) {
    encoding.threads = std::max<std::uint32_t>(1, lzma_cputhreads());
  } else {
    char* end = nullptr;
    const unsigned long count = std::strtoul(threads.c_str(), &end, 10);
    if (*end != '\0' || threads[0] < '1' || threads[0] > '9' || count > kMostCompressionThreads) {
      throw UsageError("--threads takes a number from 1 to " +
                       std::to_string(kMostCompressionThreads) + ", not '" + threads + "'");
    }
    encoding.threads = static_cast<std::uint32_t>(count);
  }
  return encoding;
}

}  // namespace

int Create(const std::vector<std::string>& args) {
  const Options options = ParseOptions(
      args, {"-o", "--launch", "--format", "--check", "--threads", "--bundle"}, {"--bundle-only"});
  const Encoding encoding = ParseEncoding(options);
  const std::string outPath = options.Value("-o");
  if (outPath.empty()) {
    throw UsageError("create needs -o PACKAGE");
  }
  if (options.positional.empty()) {
    throw UsageError("create needs at least one FILE");
  }
  const std::string revision = options.Value("--bundle");
  if (!revision.empty() && revision != "v1" && revision != "v2") {
    throw UsageError("--bundle takes v1 or v2, not '" + revision + "'");
  }
  // The tree bundle's view of the inputs decides which revision is written,
  // unless one is asked for; the flat bundle's own checks then follow.
  std::vector<Input> inputs;
  if (revision != "v1") {
    inputs = CollectTreeInputs(options.positional);
  } else {
    for (const std::string& file : options.positional) {
      std::filesystem::path base;
      if (IsFolderArgument(sys::PathOf(file), &base)) {
        throw Failure(Describe(sys::PathOf(file), "a folder; a v1 bundle holds files only"));
      }
    }
  }
  if (inputs.size() > 0x7FFFFFFF) {
    throw Failure("too many files for one bundle");
  }

  const std::string launchName = options.Value("--launch");
  const auto findLaunch = [&launchName](const std::vector<Input>& entries) {
    int found = -1;
    for (std::size_t i = 0; i < entries.size() && !launchName.empty(); ++i) {
      if (entries[i].path == launchName) {
        found = static_cast<int>(i);
      }
    }
    return found;
  };
  int launchIndex = findLaunch(inputs);
  const bool tree = revision == "v2" || (revision.empty() && !FitsFlatBundle(inputs, launchIndex));
  if (!tree) {
    inputs = CollectInputs(options.positional);
    launchIndex = findLaunch(inputs);
  }
  if (!launchName.empty() && launchIndex < 0) {
    throw Failure("--launch '" + Shown(launchName) + "' names none of the files");
  }
  if (launchIndex >= 0 && inputs[static_cast<std::size_t>(launchIndex)].directory) {
    throw Failure("--launch '" + Shown(launchName) + "' names a folder, not a file");
  }

  std::vector<std::filesystem::path> files;
  for (const Input& input : inputs) {
    if (!input.directory) {
      files.push_back(input.file);
    }
  }
  CheckNotAnInput(sys::PathOf(outPath), files);

  const std::uint64_t bundleSize = BundleSize(inputs, tree);
  if (bundleSize > kLargestBundleSize) {
    throw Failure("the bundle would be " + std::to_string(bundleSize) +
                  " bytes; a package holds at most " + std::to_string(kLargestBundleSize));
  }

  OutputFile out(sys::PathOf(outPath));
  if (options.Flag("--bundle-only")) {
    FileSink sink(out);
    WriteBundle(inputs, launchIndex, tree, sink);
  } else if (encoding.xz) {
    XzEncoderSink sink(out, bundleSize, encoding.check, encoding.threads);
    WriteBundle(inputs, launchIndex, tree, sink);
    sink.Finish();
  } else {
    std::uint8_t header[kPackageHeaderSize];
    WritePackageHeader(PackageHeader{kPackageProperties, kPackageDictionarySize,
                                     static_cast<std::uint32_t>(bundleSize),
                                     static_cast<std::uint32_t>(bundleSize >> 32)},
                       header);
    out.Write(header, sizeof header);
    AloneEncoderSink sink(out, bundleSize);
    WriteBundle(inputs, launchIndex, tree, sink);
    sink.Finish();
  }
  out.Commit();
  return 0;
}

}  // namespace pack
