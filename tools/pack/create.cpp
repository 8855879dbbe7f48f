// mirelk-pack create: files into a bundle, the bundle into a package.
#include <lzma.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "format/bundle.h"
#include "format/package.h"
#include "tools/pack/pack.h"

namespace pack {

namespace {

struct Input {
  std::filesystem::path file;
  std::string name;   // as the bundle holds it
  std::string shown;  // as the command line and the messages have it
  std::uint64_t size = 0;
};

std::vector<Input> CollectInputs(const std::vector<std::string>& files) {
  std::vector<Input> inputs;
  std::set<std::string> names;
  for (const std::string& file : files) {
    Input input;
    input.file = sys::PathOf(file);
    input.shown = sys::TextOf(input.file.filename());
    const std::string& shown = input.shown;
    if (!sys::EntryNameOf(input.file, &input.name)) {
      throw Failure(Describe(input.file, "the name '" + shown + "' has no form in this system's code page"));
    }
    std::error_code error;
    if (!std::filesystem::exists(input.file, error)) {
      throw Failure("cannot read " + Describe(input.file, "no such file"));
    }
    if (!std::filesystem::is_regular_file(input.file, error)) {
      throw Failure("cannot read " + Describe(input.file, "not a regular file"));
    }
    if (!IsAcceptableEntryName(input.name.data(), input.name.size(), kLatin1CodePage)) {
      throw Failure(Describe(input.file, "the launcher refuses the entry name '" + shown + "'"));
    }
    if (!names.insert(input.name).second) {
      throw Failure(Describe(input.file, "another input has the same name '" + shown + "'"));
    }
    input.size = std::filesystem::file_size(input.file, error);
    if (error) {
      throw Failure("cannot read " + Describe(input.file, error.message()));
    }
    if (input.size > kLargestEntrySize) {
      throw Failure(Describe(input.file, "larger than 4 GiB - 1 bytes, the most one entry holds"));
    }
    std::ifstream probe(input.file, std::ios::binary);
    if (!probe) {
      throw Failure("cannot read " + Describe(input.file));
    }
    inputs.push_back(input);
  }
  return inputs;
}

std::uint64_t BundleSize(const std::vector<Input>& inputs) {
  std::uint64_t total = kBundleHeaderSize;
  for (const Input& input : inputs) {
    total += BundleRecordSize(input.name.size(), input.size);
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
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options},
                                   {LZMA_VLI_UNKNOWN, nullptr}};
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

void WriteBundle(const std::vector<Input>& inputs, int launchIndex, Sink& sink) {
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

    std::ifstream in(input.file, std::ios::binary);
    std::uint64_t copied = 0;
    while (in && copied < input.size) {
      const std::uint64_t want = std::min<std::uint64_t>(buffer.size(), input.size - copied);
      in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(want));
      const std::size_t got = static_cast<std::size_t>(in.gcount());
      sink.Put(buffer.data(), got);
      copied += got;
    }
    if (copied != input.size || in.peek() != std::ifstream::traits_type::eof()) {
      throw Failure(Describe(input.file, "changed size while it was being packed"));
    }
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
    throw UsageError(std::string(check.empty() ? "--threads" : "--check") +
                     " needs --format xz");
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
      throw UsageError("--threads takes a number from 1 to " + std::to_string(kMostCompressionThreads) +
                       ", not '" + threads + "'");
    }
    encoding.threads = static_cast<std::uint32_t>(count);
  }
  return encoding;
}

}  // namespace

int Create(const std::vector<std::string>& args) {
  const Options options = ParseOptions(args, {"-o", "--launch", "--format", "--check", "--threads"},
                                       {"--bundle-only"});
  const Encoding encoding = ParseEncoding(options);
  const std::string outPath = options.Value("-o");
  if (outPath.empty()) {
    throw UsageError("create needs -o PACKAGE");
  }
  if (options.positional.empty()) {
    throw UsageError("create needs at least one FILE");
  }
  const std::vector<Input> inputs = CollectInputs(options.positional);
  if (inputs.size() > 0x7FFFFFFF) {
    throw Failure("too many files for one bundle");
  }

  int launchIndex = -1;
  const std::string launchName = options.Value("--launch");
  for (std::size_t i = 0; i < inputs.size() && !launchName.empty(); ++i) {
    if (inputs[i].shown == launchName) {
      launchIndex = static_cast<int>(i);
    }
  }
  if (!launchName.empty() && launchIndex < 0) {
    throw Failure("--launch '" + launchName + "' names none of the files");
  }

  std::vector<std::filesystem::path> files;
  for (const Input& input : inputs) {
    files.push_back(input.file);
  }
  CheckNotAnInput(sys::PathOf(outPath), files);

  const std::uint64_t bundleSize = BundleSize(inputs);
  if (bundleSize > kLargestBundleSize) {
    throw Failure("the bundle would be " + std::to_string(bundleSize) +
                  " bytes; a package holds at most " + std::to_string(kLargestBundleSize));
  }

  OutputFile out(sys::PathOf(outPath));
  if (options.Flag("--bundle-only")) {
    FileSink sink(out);
    WriteBundle(inputs, launchIndex, sink);
  } else if (encoding.xz) {
    XzEncoderSink sink(out, bundleSize, encoding.check, encoding.threads);
    WriteBundle(inputs, launchIndex, sink);
    sink.Finish();
  } else {
    std::uint8_t header[kPackageHeaderSize];
    WritePackageHeader(PackageHeader{kPackageProperties, kPackageDictionarySize,
                                     static_cast<std::uint32_t>(bundleSize),
                                     static_cast<std::uint32_t>(bundleSize >> 32)},
                       header);
    out.Write(header, sizeof header);
    AloneEncoderSink sink(out, bundleSize);
    WriteBundle(inputs, launchIndex, sink);
    sink.Finish();
  }
  out.Commit();
  return 0;
}

}  // namespace pack
