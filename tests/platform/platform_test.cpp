// The platform layer's whole-file reader: every byte, a limit that cuts or
// refuses, and a read error never taken for the end of the file.
#include "meshfold/platform/platform.h"

#include "support.h"

#include <gtest/gtest.h>

namespace meshfold::test {
namespace {

TEST(ReadWholeFile, ReadsEveryByteUpToItsLimit) {
    Scratch scratch;
    Bytes bytes(200000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    const fs::path file = scratch.dir / "f";
    writeFile(file, bytes);
    writeFile(scratch.dir / "empty", {});
    const struct {
        const char* name;
        fs::path path;
        std::size_t limit;
        WholeFile result;
        std::size_t kept;
    } cases[] = {
        {"no limit, past several reads", file, static_cast<std::size_t>(-1), WholeFile::Read,
         200000},
        {"a limit of its size", file, 200000, WholeFile::Read, 200000},
        {"one byte short of it", file, 199999, WholeFile::TooLarge, 199999},
        {"a limit within the first read", file, 10, WholeFile::TooLarge, 10},
        {"an empty file", scratch.dir / "empty", 0, WholeFile::Read, 0},
        {"no such file", scratch.dir / "none", 100, WholeFile::CantOpen, 0},
        {"a folder", scratch.dir, 100, WholeFile::CantOpen, 0},
    };
    for (const auto& c : cases) {
        Bytes got = {1, 2, 3}; // replaced, never added to
        EXPECT_EQ(readWholeFile(c.path.string(), got, c.limit), c.result) << c.name;
        EXPECT_EQ(got, Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(
                                                                c.path == file ? c.kept : 0)))
            << c.name;
    }
}

#ifdef __linux__
// A file the system cannot read (this process's memory, at address 0)
// reports the error, with nothing kept: a script or texture read so would
// otherwise pass for an empty file.
TEST(ReadWholeFile, AReadErrorIsNoEndOfFile) {
    Bytes got = {1};
    ASSERT_TRUE(InputFile(openForReading("/proc/self/mem"))); // a regular file, as the system says
    EXPECT_EQ(readWholeFile("/proc/self/mem", got), WholeFile::ReadError);
    EXPECT_TRUE(got.empty());
}

// A file whose size the system gives as 0 (the files of /proc) is read in
// chunks to its end or its limit.
TEST(ReadWholeFile, AFileOfNoKnownSizeIsReadToItsEnd) {
    Bytes status;
    EXPECT_EQ(readWholeFile("/proc/self/status", status), WholeFile::Read);
    ASSERT_GT(status.size(), 100u);
    EXPECT_EQ(std::string(status.begin(), status.begin() + 5), "Name:");
    Bytes cut;
    EXPECT_EQ(readWholeFile("/proc/self/status", cut, 5), WholeFile::TooLarge);
    EXPECT_EQ(cut, Bytes(status.begin(), status.begin() + 5));
}
#endif

} // namespace
} // namespace meshfold::test
