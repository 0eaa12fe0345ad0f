#pragma once
// A file written beside its target and put in place only when complete, so
// a failed or interrupted save leaves the old file whole. The one place the
// program replaces a file: settings, filter definitions, coefficient files,
// the offline tool's output.
//
// - A target that is a symbolic link is written through to the file it names
//   (the link stays a link).
// - An existing target must be a regular file we may write: a device, a FIFO,
//   a directory or a read-only file is refused, even for root. It keeps its
//   permission bits; a new file gets 0666 less the umask.
// - Where the target's directory cannot be written but the target can, or
//   the target has other hard links, it is rewritten in place: the new
//   content goes to a temporary in the system's temporary directory first,
//   then over the target, which is cut to the new length and synced; should
//   that fail, the old content is written back. Not atomic against a crash
//   in that last step, but the user's file is saved rather than refused, its
//   links stay joined and a failed save does not empty it.
// - A replaced file keeps its owner and group where the process may set
//   them (root saving a user's file).
// - Temporaries are named "<name>.tmp-XXXXXX" (the name cut to 200 bytes);
//   stale ones of the same target, left by a crash, go at the next save.

#include <cstddef>
#include <string>

class ReplacingFile {
 public:
  ReplacingFile() = default;
  ~ReplacingFile();  // abandons an open file that was not committed
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Opens the temporary (or the target itself, in place). False, with the
  // reason in error, when the target may not be replaced or nothing can be
  // created.
  bool Open(const std::string& path, std::string& error);
  // The descriptor to write to; -1 when not open.
  int Fd() const { return fd_; }
  // Writes all of data; false with the reason on a failure.
  bool Write(const void* data, std::size_t size, std::string& error);
  // Syncs, closes and puts the file in place. False, with the reason, when
  // any of that fails (the target is then untouched, except in place).
  bool Commit(std::string& error);
  // Closes and removes the temporary; the target stays as it was.
  void Abandon();

  bool InPlace() const { return inPlace_; }
  // For tests: the next save fails at this step with err (0: none), as a
  // full or failing disk would make it fail.
  enum class Step { None, Write, Sync, CopyBack };
  static void FailNextSaveAt(Step step, int err);
  // The temporary's path ("" in place), e.g. for a signal handler's unlink.
  const std::string& TempPath() const { return temp_; }
  // The file finally written: the target, or what its link names.
  const std::string& Target() const { return target_; }

 private:
  bool CommitInPlace(std::string& error);

  int fd_ = -1;
  int targetFd_ = -1;  // in place: the target, written only at Commit
  bool inPlace_ = false;
  std::string target_, temp_;
};

// Writes text to path as ReplacingFile does. Returns false (and leaves any
// file at path untouched) when the file cannot be written.
bool ReplaceFileAtomically(const std::string& path, const std::string& text);
