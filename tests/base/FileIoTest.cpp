#include "base/FileIo.h"
#include "support/TempDir.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace kelvara;
using kelvara::test::ReadBytes;
using kelvara::test::TTempDir;
using kelvara::test::WriteBytes;

namespace {

// A descriptor closed at the end of its scope.
struct TFd {
    int Fd;
    ~TFd()
    {
        if (Fd >= 0) ::close(Fd);
    }
};

} // namespace

TEST(FileIo, BytesPassUnchangedUnderNamesInAnyScript)
{
    TTempDir dir;
    // CR LF, a lone LF, Ctrl-Z and NUL: what a text-mode descriptor would
    // translate or stop at.
    const std::string bytes("a\r\nb\nc\x1a"
                            "d\0e\r",
                            12);
    const std::string names[] = {"plain.txt",
                                 "Gr\xC3\xBC\xC3\x9F"
                                 "e.txt",
                                 "\xE6\xB8\xA9\xE5\xBA\xA6.csv"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = dir.File(name);
        {
            TFd out{OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0644)};
            ASSERT_GE(out.Fd, 0);
            ASSERT_TRUE(WriteAll(out.Fd, bytes));
            EXPECT_TRUE(SyncFileData(out.Fd));
        }
        EXPECT_TRUE(PathExists(path));
        TFd in{OpenFile(path, O_RDONLY)};
        ASSERT_GE(in.Fd, 0);
        std::string back;
        ASSERT_TRUE(ReadWholeFile(in.Fd, back));
        EXPECT_EQ(back, bytes);
    }
}

TEST(FileIo, RenameReplacesAndRemoveRemoves)
{
    TTempDir dir;
    const std::string from = dir.File("new.part");
    const std::string to = dir.File("old.csv");
    WriteBytes(from, "new");
    WriteBytes(to, "old");
    ASSERT_EQ(RenameFile(from, to), 0);
    EXPECT_FALSE(PathExists(from));
    EXPECT_EQ(ReadBytes(to), "new");

    EXPECT_EQ(RenameFile(dir.File("missing"), to), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ReadBytes(to), "new");

    ASSERT_EQ(RemoveFile(to), 0);
    EXPECT_FALSE(PathExists(to));
    EXPECT_EQ(RemoveFile(to), -1);
    EXPECT_EQ(OpenFile(dir.File("missing"), O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileIo, OneLockPerFileUntilItsHolderCloses)
{
    TTempDir dir;
    const std::string path = dir.Write("journal.part", "H\r\n");
    TFd second{OpenFile(path, O_RDWR)};
    ASSERT_GE(second.Fd, 0);
    {
        TFd first{OpenFile(path, O_WRONLY | O_APPEND)};
        ASSERT_GE(first.Fd, 0);
        ASSERT_TRUE(TryLockFile(first.Fd));
        errno = 0;
        EXPECT_FALSE(TryLockFile(second.Fd)) << "another open file holds the lock";
        EXPECT_EQ(errno, EWOULDBLOCK) << "and says so";
    }
    EXPECT_TRUE(TryLockFile(second.Fd)) << "the lock went with its holder's close";
}
