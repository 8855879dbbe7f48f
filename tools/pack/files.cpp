// The bookkeeping of mirelk-pack's files, the same on every system: which
// output is pending (and goes when the process is interrupted), and what an
// input is once opened. The system calls are system_calls.h's.
#include <cerrno>

#include "tools/pack/system_calls.h"

namespace pack::sys {

namespace {

// The pending file's path, for the interruption's cleanup; null when there
// is none.
const calls::PathChar* volatile gPending = nullptr;

void RemovePending() {
  const calls::PathChar* pending = gPending;
  if (pending != nullptr) {
    calls::RemoveFile(pending);
  }
}

class InterruptionsHeld {
 public:
  InterruptionsHeld() { calls::HoldInterruptions(); }
  ~InterruptionsHeld() { calls::ReleaseInterruptions(); }
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
};

}  // namespace

bool PendingFile::Create(const std::filesystem::path& path) {
  if (gPending != nullptr) {
    errno = EBUSY;  // one pending file at a time
    return false;
  }
  calls::CallOnInterruption(RemovePending);
  InterruptionsHeld held;
  calls::Handle handle = calls::kNoHandle;
  if (!calls::CreateNewFile(path, &handle)) {
    return false;
  }
  path_ = path;
  handle_ = handle;
  pending_ = true;
  gPending = path_.c_str();
  return true;
}

bool PendingFile::Write(const void* data, std::size_t size) {
  return calls::WriteWhole(handle_, data, size);
}

bool PendingFile::MakeExecutable() {
  return calls::MakeExecutable(handle_);
}

bool PendingFile::Commit(const std::filesystem::path& target) {
  const calls::Handle handle = handle_;
  handle_ = calls::kNoHandle;
  if (!calls::CloseFile(handle)) {
    return false;
  }
  InterruptionsHeld held;
  if (!calls::RenameOver(path_, target)) {
    return false;
  }
  pending_ = false;
  gPending = nullptr;
  return true;
}

PendingFile::~PendingFile() {
  if (handle_ != calls::kNoHandle) {
    calls::CloseFile(handle_);
  }
  if (pending_) {
    InterruptionsHeld held;
    gPending = nullptr;
    calls::RemoveFile(path_.c_str());
  }
}

InputKind InputFile::Open(const std::filesystem::path& path, bool followLinks) {
  if (handle_ != calls::kNoHandle) {
    calls::CloseFile(handle_);
    handle_ = calls::kNoHandle;
  }
  calls::Handle handle = calls::kNoHandle;
  const calls::OpenedFacts facts = calls::OpenForReading(path, followLinks, &handle);
  if (facts.kind == InputKind::kRegular) {
    handle_ = handle;
    size_ = facts.size;
    executable_ = facts.executable;
  } else if (handle != calls::kNoHandle) {
    calls::CloseFile(handle);
  }
  return facts.kind;
}

bool InputFile::ReadAt(std::uint64_t offset, void* data, std::size_t size, std::size_t* got) {
  std::size_t total = 0;
  while (total < size) {
    std::size_t some = 0;
    if (!calls::ReadSome(handle_, offset + total, static_cast<char*>(data) + total, size - total,
                         &some)) {
      *got = total;
      return false;
    }
    if (some == 0) {
      break;
    }
    total += some;
  }
  *got = total;
  return true;
}

bool InputFile::Is(const std::filesystem::path& path) const {
  return handle_ != calls::kNoHandle && calls::IsFileAt(handle_, path);
}

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(other.handle_), size_(other.size_), executable_(other.executable_) {
  other.handle_ = calls::kNoHandle;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (handle_ != calls::kNoHandle) {
      calls::CloseFile(handle_);
    }
    handle_ = other.handle_;
    size_ = other.size_;
    executable_ = other.executable_;
    other.handle_ = calls::kNoHandle;
  }
  return *this;
}

InputFile::~InputFile() {
  if (handle_ != calls::kNoHandle) {
    calls::CloseFile(handle_);
  }
}

}  // namespace pack::sys
