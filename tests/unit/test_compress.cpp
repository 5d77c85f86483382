#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

#include <csignal>
#include <random>

#include "syslog_capture.h"
#include "test_helpers.h"
#include "zolUrdaDumpHandler_common.h"

namespace {

// One whole gzip member inflated, its trailer's CRC-32 and length checked; a
// byte of room beyond the expected size shows a longer output.
std::string gunzip(const std::string &gz, size_t expectedSize)
{
    std::string out(expectedSize + 1, '\0');
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 16 + MAX_WBITS), Z_OK);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(gz.data()));
    stream.avail_in = static_cast<uInt>(gz.size());
    stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

// Every other byte random: data that deflate shrinks only in part, as it
// does most of a dump.
std::string dumpLikeData(size_t size)
{
    std::mt19937 random(42);
    std::string data(size, 'x');
    for (size_t i = 0; i < size; i += 2) {
        data[i] = static_cast<char>(random());
    }
    return data;
}

} // namespace

TEST(CompressFile, RestoresToTheSameBytesAcrossEveryChunkBoundary)
{
    TempDir dir;
    DumpHandler handler(1, dir.path(), "");
    for (size_t size : {size_t{0}, size_t{65536}, size_t{65537}, size_t{3 * 1024 * 1024 + 17}}) {
        const std::string data = dumpLikeData(size);
        writeFile(dir / "lm_dump", data);
        ASSERT_TRUE(handler.compressFile((dir / "lm_dump").c_str(), (dir / "lm_1-1.gz").c_str(), 1)) << size;
        const std::string gz = readFile(dir / "lm_1-1.gz");
        EXPECT_EQ(gunzip(gz, size), data) << size;
        if (size == 0) {
            EXPECT_EQ(gz.size(), 20u) << "a bare gzip member: no name, comment or extra field";
        }
        EXPECT_EQ(readFile(dir / "lm_dump"), data) << "the source is never changed";
    }
}

TEST(CompressFile, EachFailureHasItsOwnTraceAndNothingButRegularFilesIsOpened)
{
    SyslogCapture capture;
    TempDir dir;
    DumpHandler handler(1, dir.path(), "");
    writeFile(dir / "src", dumpLikeData(300000));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);

    EXPECT_FALSE(handler.compressFile((dir / "missing").c_str(), (dir / "out1.gz").c_str(), 1));
    EXPECT_FALSE(pathExists(dir / "out1.gz"));
    // A FIFO would block the open or the first read: refused at once.
    EXPECT_FALSE(handler.compressFile((dir / "fifo").c_str(), (dir / "out2.gz").c_str(), 1));
    EXPECT_FALSE(handler.compressFile((dir / "src").c_str(), (dir / "no/dir/out.gz").c_str(), 1));
    // A device opens, and is refused as not a regular file before anything is written.
    EXPECT_FALSE(handler.compressFile((dir / "src").c_str(), "/dev/null", 1));
    // A compression level that zlib refuses.
    EXPECT_FALSE(handler.compressFile((dir / "src").c_str(), (dir / "out10.gz").c_str(), 10));
    // A regular file whose every read fails.
    EXPECT_FALSE(handler.compressFile("/proc/self/mem", (dir / "out4.gz").c_str(), 1));
    // A file size limit makes the destination run out of room.
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_FALSE(handler.compressFile((dir / "src").c_str(), (dir / "out5.gz").c_str(), 1));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);

    EXPECT_EQ(capture.errors(), (std::vector<std::string>{
        "Failed to open source file(" + dir / "missing" + ") while compressing",
        "Failed to open source file(" + dir / "fifo" + ") while compressing",
        "Failed to open destination file(" + dir / "no/dir/out.gz" + ") while compressing",
        "Failed to open destination file(/dev/null) while compressing",
        "Failed to init Z stream while compressing",
        "ferror(/proc/self/mem) failed",
        "fwrite failed",
    }));
}
