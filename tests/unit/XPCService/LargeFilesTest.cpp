// Files and times beyond 32 bits on every architecture, 32-bit ones included:
// without 64-bit off_t and ino_t, stat() of a file over 2 GiB fails with
// EOVERFLOW and the probe would call a writable file unwritable.
#include "FileOperations.h"

#include "TempDir.h"
#include "UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

TEST(LargeFiles, FileOffsetsInodesAndTimesAre64BitsWide)
{
    EXPECT_EQ(sizeof(off_t), 8u);
    EXPECT_EQ(sizeof(ino_t), 8u);
    EXPECT_EQ(sizeof(time_t), 8u);
}

TEST(LargeFiles, SparseFileOver2GiBIsWritableAndLeftUntouched)
{
    TempDir dir;
    const std::string path = dir / "large";
    // Made through the explicitly 64-bit calls, so that the file exists
    // whatever the build's own off_t is.
    constexpr off64_t kSize = off64_t{3} << 30;
    {
        UniqueFd fd(::open64(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        ASSERT_TRUE(fd.valid()) << std::strerror(errno);
        ASSERT_EQ(::ftruncate64(fd.get(), kSize), 0) << std::strerror(errno);
    }
    EXPECT_TRUE(isFilePathWritable_XPC(path));
    struct stat64 st {};
    ASSERT_EQ(::stat64(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kSize);
}
