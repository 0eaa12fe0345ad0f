#include "common/ReplacingFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr std::size_t kMaxTempStem = 200;  // leaves room for ".tmp-XXXXXX" in 255 bytes
constexpr int kMaxLinks = 40;              // as the kernel's own limit
constexpr std::time_t kStaleSeconds = 2;   // a save takes milliseconds

std::string DirOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a chain of symbolic links ends at (the path itself when it is no
// link); a dangling link gives the path it names, which the save creates.
bool FollowLinks(std::string path, std::string& target) {
  for (int i = 0; i < kMaxLinks; ++i) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      target = path;
      return true;
    }
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) return false;
    std::string next(buf.data(), static_cast<std::size_t>(n));
    path = next.empty() || next[0] == '/' ? next : DirOf(path) + "/" + next;
  }
  errno = ELOOP;
  return false;
}

mode_t NewFileMode() {
  // The umask, read without changing it (other threads may create files).
  mode_t mask = 022;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[128];
    unsigned value;
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "Umask: %o", &value) == 1) mask = static_cast<mode_t>(value);
    std::fclose(f);
  }
  return 0666 & ~mask;
}

std::string TempStem(const std::string& target) {
  std::string base = BaseOf(target);
  if (base.size() > kMaxTempStem) base.resize(kMaxTempStem);
  return base + ".tmp-";
}

// Removes "<stem>XXXXXX" files beside the target that a crashed save left.
void RemoveStaleTemporaries(const std::string& target, const std::string& keep) {
  const std::string dir = DirOf(target), stem = TempStem(target);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  const std::time_t now = std::time(nullptr);
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() != stem.size() + 6 || name.compare(0, stem.size(), stem) != 0) continue;
    const std::string path = dir + "/" + name;
    struct stat st;
    if (path == keep || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (now - st.st_mtime >= kStaleSeconds) ::unlink(path.c_str());
  }
  ::closedir(d);
}

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::atomic<int> failStep{0};
std::atomic<int> failErr{0};

// True, with errno set, when a test asked this step of the save to fail.
bool Failing(ReplacingFile::Step step) {
  if (step == ReplacingFile::Step::None) return false;
  int want = static_cast<int>(step);
  if (!failStep.compare_exchange_strong(want, 0)) return false;
  errno = failErr.load();
  return true;
}

// A file in the system's temporary directory that vanishes when closed.
int AnonymousTemp() {
  const char* dir = std::getenv("TMPDIR");
  const std::string place = dir && *dir ? dir : "/tmp";
  int fd = ::open(place.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = place + "/tarvik-XXXXXX";
  std::vector<char> tmpl(name.begin(), name.end());
  tmpl.push_back('\0');
  fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(tmpl.data());
  return fd;
}

// Copies size bytes from the start of one file over the start of another.
// The step names what a test may make fail part way.
bool CopyAll(int from, int to, off_t size, ReplacingFile::Step step) {
  std::vector<char> buf(1 << 16);
  for (off_t at = 0; at < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<off_t>(size - at, static_cast<off_t>(buf.size())));
    const ssize_t n = ::pread(from, buf.data(), want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the file shrank under us
      return false;
    }
    std::size_t len = static_cast<std::size_t>(n);
    const bool fail = Failing(step);
    if (fail) len /= 2;  // a disk that fills up part way
    const int err = errno;
    for (std::size_t done = 0; done < len;) {
      const ssize_t w = ::pwrite(to, buf.data() + done, len - done, at + static_cast<off_t>(done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (w == 0) errno = ENOSPC;
        return false;
      }
      done += static_cast<std::size_t>(w);
    }
    if (fail) {
      errno = err;
      return false;
    }
    at += n;
  }
  return true;
}

}  // namespace

ReplacingFile::~ReplacingFile() { Abandon(); }

void ReplacingFile::FailNextSaveAt(Step step, int err) {
  failErr.store(err);
  failStep.store(static_cast<int>(step));
}

bool ReplacingFile::Open(const std::string& path, std::string& error) {
  Abandon();
  if (path.empty()) {
    error = "no file name";
    return false;
  }
  if (!FollowLinks(path, target_)) {
    error = Reason("cannot follow the link");
    return false;
  }
  mode_t mode = NewFileMode();
  struct stat st;
  const bool exists = ::stat(target_.c_str(), &st) == 0;
  if (exists) {
    if (!S_ISREG(st.st_mode)) {
      error = "not a regular file";
      return false;
    }
    // Refused even for root, who could otherwise rename over it.
    if ((st.st_mode & 0222) == 0 || ::access(target_.c_str(), W_OK) != 0) {
      error = "the file is read-only";
      return false;
    }
    mode = st.st_mode & 07777;
  }

  const std::string dir = DirOf(target_);
  // A rename would split a hard link from its other names.
  if (exists && (st.st_nlink > 1 || ::access(dir.c_str(), W_OK) != 0)) {
    targetFd_ = ::open(target_.c_str(), O_RDWR | O_CLOEXEC);
    if (targetFd_ < 0) targetFd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);  // no copy to go back to
    if (targetFd_ < 0) {
      error = Reason("cannot open");
      return false;
    }
    fd_ = AnonymousTemp();
    if (fd_ < 0) {
      error = Reason("cannot create a temporary file");
      Abandon();
      return false;
    }
    inPlace_ = true;
    return true;
  }

  std::string name = dir + "/" + TempStem(target_) + "XXXXXX";
  std::vector<char> tmpl(name.begin(), name.end());
  tmpl.push_back('\0');
  fd_ = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd_ < 0) {
    error = Reason("cannot create a file");
    return false;
  }
  temp_ = tmpl.data();
  inPlace_ = false;
  if (::fchmod(fd_, mode) != 0) {
    error = Reason("cannot set the permissions");
    Abandon();
    return false;
  }
  // Root saving a user's file leaves it theirs; others cannot give files
  // away and keep their own.
  if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
      ::fchown(fd_, st.st_uid, st.st_gid) != 0)
    errno = 0;
  RemoveStaleTemporaries(target_, temp_);
  return true;
}

bool ReplacingFile::Write(const void* data, std::size_t size, std::string& error) {
  if (Failing(Step::Write)) {
    error = Reason("cannot write");
    return false;
  }
  const char* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      error = Reason("cannot write");
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReplacingFile::Commit(std::string& error) {
  if (fd_ < 0) {
    error = "not open";
    return false;
  }
  if (inPlace_) return CommitInPlace(error);
  bool ok = true;
  if (Failing(Step::Sync) || ::fsync(fd_) != 0) {
    error = Reason("cannot write");
    ok = false;
  }
  if (::close(fd_) != 0 && ok) {
    error = Reason("cannot write");
    ok = false;
  }
  fd_ = -1;
  if (ok && !inPlace_ && ::rename(temp_.c_str(), target_.c_str()) != 0) {
    error = Reason("cannot put the file in place");
    ok = false;
  }
  if (ok) {
    temp_.clear();
    inPlace_ = false;
    return true;
  }
  Abandon();
  return false;
}

bool ReplacingFile::CommitInPlace(std::string& error) {
  auto fail = [&](const char* what) {
    error = Reason(what);
    Abandon();
    return false;
  };
  if (Failing(Step::Sync) || ::fsync(fd_) != 0) return fail("cannot write");
  const off_t newSize = ::lseek(fd_, 0, SEEK_END);
  struct stat st;
  if (newSize < 0 || ::fstat(targetFd_, &st) != 0) return fail("cannot write");
  // The old content, to write back should the new not fit.
  const bool readable = (::fcntl(targetFd_, F_GETFL) & O_ACCMODE) == O_RDWR;
  int backup = readable ? AnonymousTemp() : -1;
  if (readable && (backup < 0 || !CopyAll(targetFd_, backup, st.st_size, Step::None))) {
    if (backup >= 0) ::close(backup);
    return fail("cannot keep a copy of the old file");
  }
  if (CopyAll(fd_, targetFd_, newSize, Step::CopyBack) && ::ftruncate(targetFd_, newSize) == 0 &&
      !Failing(Step::Sync) && ::fsync(targetFd_) == 0) {
    if (backup >= 0) ::close(backup);
    ::close(fd_);
    fd_ = -1;
    const int closed = ::close(targetFd_);
    targetFd_ = -1;
    inPlace_ = false;
    if (closed != 0) return fail("cannot write");
    return true;
  }
  const int err = errno;
  if (backup >= 0) {
    // Best effort: the blocks the old content held are still there to take.
    if (CopyAll(backup, targetFd_, st.st_size, Step::None) && ::ftruncate(targetFd_, st.st_size) == 0)
      ::fsync(targetFd_);
    ::close(backup);
  }
  errno = err;
  return fail("cannot write");
}

void ReplacingFile::Abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (targetFd_ >= 0) ::close(targetFd_);
  targetFd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  inPlace_ = false;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& text) {
  ReplacingFile file;
  std::string error;
  return file.Open(path, error) && file.Write(text.data(), text.size(), error) && file.Commit(error);
}
