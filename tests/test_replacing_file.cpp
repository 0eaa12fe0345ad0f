// Replacing a file: links, special files, permissions, directories the user
// cannot write, long names and temporaries left by a crash.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/ReplacingFile.h"
#include "support/TestUtil.h"

namespace {

using testutil::ReadText;
using testutil::TempDir;
using testutil::WriteText;

int Entries(const std::string& dir) {
  int n = 0;
  if (FILE* p = ::popen(("ls -A '" + dir + "' | wc -l").c_str(), "r")) {
    if (std::fscanf(p, "%d", &n) != 1) n = -1;
    ::pclose(p);
  }
  return n;
}

mode_t Mode(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// Regression: saving replaced a symbolic link by a plain file.
TEST(ReplacingFile, WritesThroughLinksAndKeepsThem) {
  TempDir dir;
  const std::string real = dir.File("real.ini"), link = dir.File("link.ini"), link2 = dir.File("link2.ini");
  WriteText(real, "old");
  ASSERT_EQ(::symlink("real.ini", link.c_str()), 0);
  ASSERT_EQ(::symlink(link.c_str(), link2.c_str()), 0);  // a chain, absolute
  ASSERT_TRUE(ReplaceFileAtomically(link2, "new"));
  EXPECT_EQ(ReadText(real), "new");
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::lstat(link2.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // A dangling link makes the file it names.
  const std::string dangling = dir.File("dangling.ini");
  ASSERT_EQ(::symlink("made.ini", dangling.c_str()), 0);
  ASSERT_TRUE(ReplaceFileAtomically(dangling, "made"));
  EXPECT_EQ(ReadText(dir.File("made.ini")), "made");
}

// Regression: a FIFO, a device or a directory was replaced by a regular file.
TEST(ReplacingFile, RefusesWhatIsNoWritableRegularFile) {
  TempDir dir;
  const std::string fifo = dir.File("fifo"), ro = dir.File("ro"), sub = dir.File("sub");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  WriteText(ro, "keep");
  ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  for (const std::string& target : {fifo, ro, sub, std::string("/dev/null")}) {
    ReplacingFile f;
    std::string error;
    EXPECT_FALSE(f.Open(target, error)) << target;
    EXPECT_FALSE(error.empty()) << target;
  }
  EXPECT_EQ(ReadText(ro), "keep");
  EXPECT_EQ(Entries(dir.Path()), 3) << "no temporary left behind";
}

// Regression: every file came out 0644, whatever it was before or the umask.
TEST(ReplacingFile, KeepsTheModeOrFollowsTheUmask) {
  TempDir dir;
  const std::string kept = dir.File("kept"), fresh = dir.File("fresh");
  WriteText(kept, "x");
  ASSERT_EQ(::chmod(kept.c_str(), 0600), 0);
  ASSERT_TRUE(ReplaceFileAtomically(kept, "y"));
  EXPECT_EQ(Mode(kept), 0600u);
  const mode_t old = ::umask(077);
  const bool ok = ReplaceFileAtomically(fresh, "z");
  ::umask(old);
  ASSERT_TRUE(ok);
  EXPECT_EQ(Mode(fresh), 0600u);
}

// Regression: names of 245 to 255 bytes could not be saved (the temporary's
// suffix made its name too long).
TEST(ReplacingFile, LongNames) {
  TempDir dir;
  for (std::size_t length : {200u, 245u, 255u}) {
    const std::string path = dir.File(std::string(length, 'n'));
    EXPECT_TRUE(ReplaceFileAtomically(path, "long")) << length;
    EXPECT_EQ(ReadText(path), "long") << length;
  }
}

// Regression: temporaries left by a save killed midway stayed for ever.
TEST(ReplacingFile, StaleTemporariesGoAtTheNextSave) {
  TempDir dir;
  const std::string target = dir.File("Tarvik.ini");
  const std::string stale = target + ".tmp-AbC123", other = dir.File("Other.ini.tmp-AbC123");
  const std::string fresh = target + ".tmp-XyZ789";
  WriteText(stale, "half");
  WriteText(other, "not ours");
  WriteText(fresh, "a save in progress");
  ASSERT_EQ(std::system(("touch -d '1 hour ago' '" + stale + "' '" + other + "'").c_str()), 0);
  ASSERT_TRUE(ReplaceFileAtomically(target, "whole"));
  EXPECT_NE(::access(stale.c_str(), F_OK), 0);
  EXPECT_EQ(::access(other.c_str(), F_OK), 0) << "another file's temporary stays";
  EXPECT_EQ(::access(fresh.c_str(), F_OK), 0) << "a temporary seconds old may be another save's";
}

// Regression: a writable file in a directory the user cannot write was
// refused. As root every directory is writable, so the save runs in a child
// that has given up root.
TEST(ReplacingFile, WritableFileInReadOnlyDirectoryIsWrittenInPlace) {
  TempDir dir;
  const std::string ro = dir.File("ro");
  ASSERT_EQ(::mkdir(ro.c_str(), 0755), 0);
  const std::string target = ro + "/Tarvik.ini";
  WriteText(target, "old contents, longer than the new");
  ASSERT_EQ(::chmod(target.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(ro.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  const bool root = ::geteuid() == 0;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    ::_exit(ReplaceFileAtomically(target, "new") ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(ro.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 3) << "could not give up root";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadText(target), "new");
  EXPECT_EQ(Entries(ro), 1);
}

// Regression: the in-place rewrite truncated the file before writing, so a
// write error or a full disk left Tarvik.ini empty. Whichever step fails, in
// place (a hard-linked file) or beside it, the old content stays whole and
// no temporary is left.
TEST(ReplacingFile, AFailedSaveKeepsTheOldContent) {
  using Step = ReplacingFile::Step;
  struct Case {
    bool linked;
    Step step;
    int err;
  } cases[] = {
      {false, Step::Write, ENOSPC}, {false, Step::Sync, EIO},     {true, Step::Write, ENOSPC},
      {true, Step::Sync, EIO},      {true, Step::CopyBack, ENOSPC},
  };
  const std::string old(100000, 'o');  // more than one copying chunk
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "linked " << c.linked << " step " << static_cast<int>(c.step));
    TempDir dir;
    const std::string target = dir.File("Tarvik.ini"), other = dir.File("other-name.ini");
    WriteText(target, old);
    if (c.linked) {
      ASSERT_EQ(::link(target.c_str(), other.c_str()), 0);
    }
    ReplacingFile::FailNextSaveAt(c.step, c.err);
    EXPECT_FALSE(ReplaceFileAtomically(target, std::string(150000, 'n')));
    EXPECT_EQ(ReadText(target), old);
    EXPECT_EQ(Entries(dir.Path()), c.linked ? 2 : 1);
    ReplacingFile::FailNextSaveAt(Step::None, 0);
  }
}

// Regression: a save split a hard link (the other names kept the old text),
// and root saving a user's file made it root's, so the user could no longer
// read their own 0600 settings.
TEST(ReplacingFile, KeepsHardLinksJoinedAndTheOwner) {
  TempDir dir;
  const std::string target = dir.File("Tarvik.ini"), other = dir.File("backup.ini");
  WriteText(target, "old, and longer than the new");
  ASSERT_EQ(::link(target.c_str(), other.c_str()), 0);
  ASSERT_TRUE(ReplaceFileAtomically(target, "new"));
  EXPECT_EQ(ReadText(other), "new");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);

  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const std::string users = dir.File("user.ini");
  WriteText(users, "theirs");
  ASSERT_EQ(::chown(users.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(users.c_str(), 0600), 0);
  ASSERT_TRUE(ReplaceFileAtomically(users, "still theirs"));
  ASSERT_EQ(::stat(users.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
