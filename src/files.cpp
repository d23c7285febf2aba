#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string_view>
#include <utility>

namespace orx {

namespace {

Error os_error(int code) { return Error(IoError::from_errno(code)); }

// A path holding a NUL byte would name another file than the caller meant.
std::optional<Error> check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return Error(IoError{IoKind::Other, "file name contained an unexpected NUL byte"});
  return std::nullopt;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now, reporting the failure a write may only show at close. (A close interrupted
  // by a signal has still released the descriptor on Linux, so it is never retried.)
  int close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
  }

 private:
  int fd_;
};

// Runs `call` (a system call returning -1 with errno on failure) until it is not interrupted
// or the hook gives up. Returns the call's result; -1 with errno set on failure (EINTR when
// the hook gave up).
template <class F>
auto retrying(const Interrupts& interrupts, F&& call) -> decltype(call()) {
  for (;;) {
    const auto r = call();
    if (r >= 0 || errno != EINTR) return r;
    if (!interrupts.retry()) {
      errno = EINTR;
      return r;
    }
  }
}

// Writes all of `bytes` to `fd`.
Status write_all(int fd, std::string_view bytes, const Interrupts& interrupts) {
  while (!bytes.empty()) {
    const ssize_t n = retrying(interrupts, [&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return os_error(errno);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

// open(O_WRONLY | O_CREAT | O_TRUNC): for targets that cannot be replaced.
int open_in_place(const std::string& path, const Interrupts& interrupts) {
  return retrying(interrupts, [&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  });
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a path finally names: symbolic links followed (relative targets against the
// link's directory), up to the system's own limit. A dangling link gives the path it points
// to, which the write then creates, as open() would.
Result<std::string> resolve_links(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    for (;;) {
      const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
      if (n < 0) return os_error(errno);
      if (static_cast<size_t>(n) < target.size()) {
        target.resize(static_cast<size_t>(n));
        break;
      }
      target.resize(target.size() * 2);  // the link changed under us and grew
    }
    path = target.starts_with('/') ? target : directory_of(path) + "/" + target;
  }
  return os_error(ELOOP);
}

// The start of a process, in clock ticks since boot (field 22 of /proc/PID/stat): with the
// PID it names one process, whatever PID reuse does. 0 when it cannot be told.
uint64_t start_time_of(long pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return 0;
  char buf[1024];
  const ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
  if (n <= 0) return 0;
  buf[n] = '\0';
  // The command name (field 2) is in parentheses and may hold anything, ')' included.
  const char* p = std::strrchr(buf, ')');
  if (!p) return 0;
  for (int field = 2; field < 22; ++field) {
    p = std::strchr(p + 1, ' ');
    if (!p) return 0;
  }
  return std::strtoull(p + 1, nullptr, 10);
}

uint64_t own_start_time() {
  static const uint64_t start = start_time_of(static_cast<long>(::getpid()));
  return start;
}

// 16 hex digits no other temporary name of this process (or, likely, of another) has.
std::string token() {
  static std::atomic<uint64_t> counter{
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<uint64_t>(std::random_device{}()) << 32)};
  uint64_t z = counter.fetch_add(0x9E3779B97F4A7C15ull) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(z));
  return text;
}

std::string base_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A whole decimal number of up to 19 digits.
std::optional<uint64_t> decimal(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

struct TemporaryOwner {
  std::string target;  // the name the file was to become
  long pid;
  uint64_t start;
};

std::optional<TemporaryOwner> owner_of(std::string_view name) {
  // .{target}.orx-tmp.{pid}.{start}.{token}, read from the end (the target may hold dots).
  if (name.size() < 2 || name[0] != '.') return std::nullopt;
  std::string_view rest = name.substr(1);
  std::string_view fields[3];
  for (int i = 2; i >= 0; --i) {
    const size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    fields[i] = rest.substr(dot + 1);
    rest = rest.substr(0, dot);
  }
  std::string_view mark(kTemporaryMark);
  mark.remove_suffix(1);  // its last dot went with the fields
  if (!rest.ends_with(mark)) return std::nullopt;
  rest.remove_suffix(mark.size());
  const auto pid = decimal(fields[0]);
  const auto start = decimal(fields[1]);
  if (rest.empty() || !pid || !start || *pid == 0 || *pid > (1u << 30) || fields[2].size() != 16 ||
      fields[2].find_first_not_of("0123456789abcdef") != std::string_view::npos)
    return std::nullopt;
  return TemporaryOwner{std::string(rest), static_cast<long>(*pid), *start};
}

// Whether the process that made a temporary file may still be writing it: one with its PID
// and start time runs (a PID now held by a later process does not count), or it cannot be
// told.
bool owner_may_run(const TemporaryOwner& owner) {
  if (::kill(static_cast<pid_t>(owner.pid), 0) != 0 && errno == ESRCH) return false;
  const uint64_t now = start_time_of(owner.pid);
  return now == 0 || owner.start == 0 || now == owner.start;
}

// A name for the new file next to `target`, unlikely to exist.
std::string temporary_name(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  return dir + temporary_name_for(base_name(target));
}

// Removes the file at `path` when it goes out of scope, unless released.
class Unlinker {
 public:
  explicit Unlinker(std::string path) : path_(std::move(path)) {}
  Unlinker(const Unlinker&) = delete;
  Unlinker& operator=(const Unlinker&) = delete;
  ~Unlinker() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void release() { path_.clear(); }

 private:
  std::string path_;
};

void sync_directory_of(const std::string& path) {
  // The rename is done: a failure to flush the directory cannot be undone, so it is ignored.
  Fd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

}  // namespace

std::string temporary_name_for(const std::string& target_name) {
  return "." + target_name + kTemporaryMark + std::to_string(::getpid()) + "." +
         std::to_string(own_start_time()) + "." + token();
}

std::optional<std::string> temporary_target(std::string_view name) {
  auto owner = owner_of(name);
  if (!owner) return std::nullopt;
  return std::move(owner->target);
}

std::vector<std::string> remove_stale_temporaries(const std::string& target) {
  std::vector<std::string> removed;
  const std::string name = base_name(target);
  Fd dir(::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return removed;
  const int listing = ::dup(dir.get());
  if (listing < 0) return removed;
  DIR* entries = ::fdopendir(listing);
  if (!entries) {
    ::close(listing);
    return removed;
  }
  std::vector<std::string> candidates;
  while (const dirent* e = ::readdir(entries)) {
    const std::string_view entry(e->d_name);
    auto owner = owner_of(entry);
    if (owner && owner->target == name && !owner_may_run(*owner)) candidates.emplace_back(entry);
  }
  ::closedir(entries);
  for (const std::string& entry : candidates) {
    // A writer holds a lock on its file for as long as it writes: a file whose lock can be
    // taken has no writer left (also when its PID said otherwise, or told nothing).
    Fd fd(::openat(dir.get(), entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) continue;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
    if (::unlinkat(dir.get(), entry.c_str(), 0) == 0) removed.push_back(entry);
  }
  return removed;
}

Result<std::vector<uint8_t>> read_file(const std::string& path, Interrupts interrupts) {
  if (auto bad = check_path(path)) return std::move(*bad);
  Fd fd(retrying(interrupts, [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (fd.get() < 0) return os_error(errno);
  // Read straight into the result, sized by the file's own size (plus one byte, so that the
  // end shows without growing) and grown for files that report no size.
  struct stat st;
  size_t capacity = 1 << 16;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0)
    capacity = static_cast<size_t>(st.st_size) + 1;
  std::vector<uint8_t> out(capacity);
  size_t used = 0;
  for (;;) {
    if (used == out.size()) out.resize(out.size() * 2);
    const ssize_t n = retrying(
        interrupts, [&] { return ::read(fd.get(), out.data() + used, out.size() - used); });
    if (n < 0) return os_error(errno);
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  out.resize(used);
  return out;
}

Status write_file(const std::string& path, std::string_view bytes, Interrupts interrupts) {
  ORX_TRY(ReplacingFile file, ReplacingFile::open(path, interrupts));
  ORX_CHECK(file.write(bytes));
  return file.commit();
}

Result<ReplacingFile> ReplacingFile::open(const std::string& path, Interrupts interrupts) {
  if (auto bad = check_path(path)) return std::move(*bad);
  ORX_TRY(const std::string target, resolve_links(path));
  auto in_place = [&]() -> Result<ReplacingFile> {
    const int fd = open_in_place(target, interrupts);
    if (fd < 0) return os_error(errno);
    return ReplacingFile(fd, target, target, interrupts);
  };
  struct stat old;
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return os_error(errno);
  if (exists && !S_ISREG(old.st_mode)) return in_place();
  if (exists) {
    // The old file must be writable for its content to be replaced, as it had to be when it
    // was truncated in place. (Opening a regular file does not block.)
    Fd probe(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (probe.get() < 0) return os_error(errno);
  }
  remove_stale_temporaries(target);
  std::string temp;
  Fd fd;
  for (int attempt = 0; attempt < 100 && fd.get() < 0; ++attempt) {
    temp = temporary_name(target);
    fd.reset(retrying(interrupts, [&] {
      return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }));
    if (fd.get() < 0 && errno != EEXIST) break;
  }
  if (fd.get() < 0) {
    // A directory that refuses new files (or a target whose directory is missing, which the
    // in-place open reports as before) leaves writing in place.
    if (errno == EACCES || errno == EPERM || errno == ENOENT) return in_place();
    return os_error(errno);
  }
  Unlinker remove_on_failure(temp);
  // Held until the file is closed: what tells a later writer that this one still writes.
  ::flock(fd.get(), LOCK_EX | LOCK_NB);
  if (exists) {
    // Owner first (best effort: only a privileged caller may give a file away), since a
    // change of owner clears the set-user-ID and set-group-ID bits that fchmod then restores.
    [[maybe_unused]] const int given = ::fchown(fd.get(), old.st_uid, old.st_gid);
    if (::fchmod(fd.get(), old.st_mode & 07777) != 0) return os_error(errno);
  }
  remove_on_failure.release();
  const int raw = fd.get();
  fd.release();
  return ReplacingFile(raw, target, temp, interrupts);
}

ReplacingFile::ReplacingFile(int fd, std::string target, std::string written, Interrupts interrupts)
    : fd_(fd), target_(std::move(target)), written_(std::move(written)), interrupts_(interrupts) {}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      target_(std::move(other.target_)),
      written_(std::move(other.written_)),
      interrupts_(other.interrupts_),
      pending_(std::move(other.pending_)) {}

ReplacingFile::~ReplacingFile() { abandon(); }

Status ReplacingFile::flush() {
  const Status written = write_all(
      fd_, {reinterpret_cast<const char*>(pending_.data()), pending_.size()}, interrupts_);
  pending_.clear();
  return written;
}

Status ReplacingFile::write(std::string_view bytes) {
  if (fd_ < 0) return Error(IoError{IoKind::Other, "the replacement is closed"});
  if (pending_.size() + bytes.size() < kPiece) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return {};
  }
  ORX_CHECK(flush());
  return write_all(fd_, bytes, interrupts_);
}

Status ReplacingFile::commit() {
  if (fd_ < 0) return Error(IoError{IoKind::Other, "the replacement is closed"});
  Status done = flush();
  const bool in_place = written_ == target_;
  if (done && !in_place && retrying(interrupts_, [&] { return ::fsync(fd_); }) != 0)
    done = os_error(errno);
  Fd fd(std::exchange(fd_, -1));
  if (done && fd.close() != 0) done = os_error(errno);
  if (in_place) return done;
  Unlinker remove_on_failure(written_);
  if (!done) return done;
  if (::rename(written_.c_str(), target_.c_str()) != 0) return os_error(errno);
  remove_on_failure.release();
  sync_directory_of(target_);
  return {};
}

void ReplacingFile::abandon() {
  if (fd_ < 0) return;
  ::close(std::exchange(fd_, -1));
  if (written_ != target_) ::unlink(written_.c_str());
  pending_.clear();
}

}  // namespace orx
