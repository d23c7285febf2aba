// Whole-file I/O: reading a file into memory and replacing a file's content so that a failure
// never leaves a damaged file behind.
//
// Failures are Io errors carrying the operating system's message and " (os error {code})",
// with the errno in Error::os_code().
//
// Every blocking system call here may be interrupted by a signal (EINTR). The caller decides
// what happens then through an Interrupts hook: it runs whatever the signal asks for (a
// caller that released a language runtime's lock takes it back for that) and answers whether
// to retry the call or to give up; giving up fails the operation with Interrupted
// "Interrupted system call (os error 4)". Without a hook, interrupted calls are retried.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace orx {

struct Interrupts {
  // Called after a system call failed with EINTR; true retries it.
  bool (*handle)(void* context) = nullptr;
  void* context = nullptr;

  bool retry() const { return handle == nullptr || handle(context); }
};

// The whole content of the file at `path`. Works for regular files and for files that report
// no size (pipes, FIFOs, character devices), which are read until their end.
Result<std::vector<uint8_t>> read_file(const std::string& path, Interrupts interrupts = {});

// Makes `bytes` the content of the file at `path`, creating it when it does not exist.
//
// A regular file (or a path to be created) is replaced atomically: the bytes go to a new file
// in the same directory, are flushed to disk, and that file is renamed over `path`, then the
// directory is flushed. On any failure the new file is removed and `path` is left as it was:
// readers see either the old content or the whole new one, never a part. The new file takes
// the old one's permission bits (and, where the caller may set them, its owner and group); a
// created file gets 0666 less the umask, as open() would give it. A symbolic link is followed:
// the file it names is replaced and the link stays. A file the caller may not write is refused
// as before ("Permission denied"), even where its directory would allow the rename. Where the
// directory does not allow creating a file but the file itself is writable, the file is
// truncated and written in place.
//
// Anything else (a FIFO, a character device, a socket) is opened, truncated and written
// directly, as open(O_WRONLY | O_CREAT | O_TRUNC) and write() would.
Status write_file(const std::string& path, std::string_view bytes, Interrupts interrupts = {});

// The streaming form of write_file: the new content is written piece by piece, then commit()
// makes it the file's content (as write_file does, the same for every kind of target) and
// abandon() drops it, leaving the file as it was. Dropping an uncommitted replacement abandons
// it. Writes are gathered into pieces of kPiece bytes.
// Temporary files: the new content of `path` is written to a hidden file beside it, named
// ".{name}.orx-tmp.{pid}.{start}.{token}": the name it will become, the writing process (its
// PID and its start time, which tell it from a later process given the same PID) and 16 random
// hex digits. The writer holds an exclusive flock on it while it writes.
inline constexpr const char* kTemporaryMark = ".orx-tmp.";

// A temporary name (no directory) for a file that will be named `target_name`.
std::string temporary_name_for(const std::string& target_name);
// The name a temporary file named `name` was to become; nothing for any other name.
std::optional<std::string> temporary_target(std::string_view name);
// Removes the temporary files of `target` that no process writes any more: their process has
// ended (or its PID is another process's now) and their lock is free. Returns their names.
// Every ReplacingFile::open does this first, so that a killed writer's leftovers go with the
// next write of the same file.
std::vector<std::string> remove_stale_temporaries(const std::string& target);

class ReplacingFile {
 public:
  static constexpr size_t kPiece = size_t{1} << 20;

  // Opens the replacement for `path` (for a FIFO or device: the target itself, truncated).
  // `interrupts` serves every later call too.
  static Result<ReplacingFile> open(const std::string& path, Interrupts interrupts = {});

  ReplacingFile(ReplacingFile&& other) noexcept;
  ReplacingFile& operator=(ReplacingFile&&) = delete;
  ReplacingFile(const ReplacingFile&) = delete;
  ~ReplacingFile();

  // The file being written: the new file beside the target, or the target when written in
  // place. Other writers may open it by this name and write it themselves before commit().
  const std::string& written_path() const { return written_; }
  bool is_open() const { return fd_ >= 0; }

  Status write(std::string_view bytes);
  // Flushes to disk and renames over the target. On failure the new file is removed.
  Status commit();
  // Removes the new file; nothing happens once committed or abandoned.
  void abandon();

  void set_interrupts(Interrupts interrupts) { interrupts_ = interrupts; }

 private:
  ReplacingFile(int fd, std::string target, std::string written, Interrupts interrupts);
  Status flush();

  int fd_ = -1;
  std::string target_;
  std::string written_;  // == target_ when in place
  Interrupts interrupts_;
  std::vector<uint8_t> pending_;
};

}  // namespace orx
