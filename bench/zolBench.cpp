// Benchmarks of the dump handler's hot paths, printed as figures (never
// asserted). Modes:
//   zolBench compress DIR           compressFile vs. a bare zlib loop vs. gzip -1
//   zolBench scan DIR               retention scan among 10,000 foreign entries
//   zolBench generate PATH BYTES SEED   dump-like test data
//   zolBench zlibloop SRC:DST...    the bare zlib loop over files, seconds taken
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zolUrdaDumpHandler_common.h"

namespace {

constexpr size_t kChunk = 65536;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kRounds = 3;

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

off_t fileSize(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_size : 0;
}

// Zero pages, register dumps, repeated log records and random bytes.
bool generate(const std::string &path, size_t bytes, unsigned seed)
{
    FILE *out = fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    std::mt19937 engine(seed);
    auto random = [&engine] { return static_cast<unsigned>(engine()); };
    std::string block;
    size_t written = 0;
    while (written < bytes) {
        block.assign(4096, '\0');
        char line[96];
        for (int i = 0; i < 48; ++i) {
            snprintf(line, sizeof line, "REG r%02d=0x%08x SP=0x%08x\n", i, random(), random());
            block += line;
        }
        snprintf(line, sizeof line, "[%08u] l1sched: slot %u tti %u\n", random() % 100000000, random() % 20,
                 random() % 65536);
        for (int i = 0; i < 8; ++i) {
            block += line;
        }
        for (int i = 0; i < 2048; ++i) {
            block += static_cast<char>(random());
        }
        size_t n = std::min(block.size(), bytes - written);
        fwrite(block.data(), 1, n, out);
        written += n;
    }
    return fclose(out) == 0;
}

// The same parameters and chunking as compressFile, with nothing around it.
bool bareZlibLoop(const char *source, const char *destination)
{
    int in = open(source, O_RDONLY);
    int out = open(destination, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    static unsigned char inBuf[kChunk], outBuf[kChunk];
    z_stream stream{};
    deflateInit2(&stream, 1, Z_DEFLATED, 16 + 11, 7, Z_FILTERED);
    int flush;
    do {
        ssize_t n = read(in, inBuf, kChunk);
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = inBuf;
        stream.avail_in = static_cast<uInt>(n);
        do {
            stream.next_out = outBuf;
            stream.avail_out = kChunk;
            deflate(&stream, flush);
            if (write(out, outBuf, kChunk - stream.avail_out) < 0) {
                return false;
            }
        } while (stream.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&stream);
    fsync(out);
    close(in);
    close(out);
    return true;
}

// Peak resident memory (KiB) of a child process that compresses one file.
long peakRssOfCompression(const std::string &source, const std::string &destination)
{
    pid_t child = fork();
    if (child == 0) {
        DumpHandler handler(1, "", "");
        _exit(handler.compressFile(source.c_str(), destination.c_str(), 1) ? 0 : 1);
    }
    int status;
    struct rusage usage;
    wait4(child, &status, 0, &usage);
    return usage.ru_maxrss;
}

int benchCompress(const std::string &dir)
{
    DumpHandler handler(1, dir, "");
    const std::string out = dir + "/out.gz";
    const std::string gzipOut = dir + "/gzip.gz";
    std::vector<long> peaks;
    printf("%8s %14s %14s %14s %18s %12s\n", "size", "compressFile", "bare zlib", "gzip -1", "compressFile/zlib",
           "comp. ratio");
    for (size_t mib : {8, 64, 512}) {
        const std::string source = dir + "/dump-" + std::to_string(mib);
        generate(source, mib << 20, 2026);
        std::vector<double> ours, bare, gzip;
        const std::string gzipCommand = "gzip -1 -c " + source + " > " + gzipOut;
        for (int round = 0; round < kRounds; ++round) {
            auto start = std::chrono::steady_clock::now();
            handler.compressFile(source.c_str(), out.c_str(), 1);
            ours.push_back(seconds(start));
            start = std::chrono::steady_clock::now();
            bareZlibLoop(source.c_str(), (dir + "/bare.gz").c_str());
            bare.push_back(seconds(start));
            start = std::chrono::steady_clock::now();
            if (system(gzipCommand.c_str()) != 0) {
                return 1;
            }
            gzip.push_back(seconds(start));
        }
        const double mb = static_cast<double>(mib);
        printf("%5zu MiB %9.1f MB/s %9.1f MB/s %9.1f MB/s %18.3f %12.2f\n", mib, mb / median(ours), mb / median(bare),
               mb / median(gzip), median(bare) / median(ours),
               static_cast<double>(mib << 20) / static_cast<double>(fileSize(out)));
        peaks.push_back(peakRssOfCompression(source, out));
        unlink(source.c_str());
    }
    printf("peak RSS of a process compressing 8 MiB: %ld KiB, 512 MiB: %ld KiB (ratio %.3f)\n", peaks.front(),
           peaks.back(), static_cast<double>(peaks.back()) / static_cast<double>(peaks.front()));
    printf("(medians of %d interleaved rounds; MB/s in MiB of input per second; ratio > 1 means faster than zlib)\n",
           kRounds);
    return 0;
}

int benchScan(const std::string &dir)
{
    const std::string final = dir + "/final/";
    mkdir(final.c_str(), 0755);
    for (int i = 0; i < 10000; ++i) {
        const std::string name = final + "lm_" + std::to_string(i % 2 == 0 ? 4 : 5) + "-" + std::to_string(i) + ".gz";
        close(open(name.c_str(), O_WRONLY | O_CREAT, 0644));
    }
    for (int seq = 1; seq <= 20; ++seq) {
        for (const char *kind : {"lm_3-", "cm_3-", "em_3-"}) {
            close(open((final + kind + std::to_string(seq) + ".gz").c_str(), O_WRONLY | O_CREAT, 0644));
        }
    }
    DumpHandler handler(3, dir + "/mosa3/", "");
    handler.finalDumpFilePath = final;
    handler.m_maxDiskSpace = 0xFFFFFFFFu;
    std::vector<double> runs;
    uint32_t seqNr = 0;
    for (int round = 0; round < 11; ++round) {
        auto start = std::chrono::steady_clock::now();
        seqNr = handler.removeOldDumps(dir + "/no-links/", 100);
        runs.push_back(seconds(start));
    }
    printf("retention scan of 10,060 entries (20 sets of this chip): median %.2f ms, max %.2f ms, seqNr %u\n",
           median(runs) * 1000, *std::max_element(runs.begin(), runs.end()) * 1000, seqNr);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "compress" && argc == 3) {
        return benchCompress(argv[2]);
    }
    if (mode == "scan" && argc == 3) {
        return benchScan(argv[2]);
    }
    if (mode == "generate" && argc == 5) {
        return generate(argv[2], std::strtoull(argv[3], nullptr, 10), static_cast<unsigned>(atoi(argv[4]))) ? 0 : 1;
    }
    if (mode == "zlibloop" && argc > 2) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 2; i < argc; ++i) {
            const std::string pair = argv[i]; // SOURCE:DESTINATION
            const size_t colon = pair.find(':');
            if (colon == std::string::npos ||
                !bareZlibLoop(pair.substr(0, colon).c_str(), pair.substr(colon + 1).c_str())) {
                return 1;
            }
        }
        printf("%.3f\n", seconds(start));
        return 0;
    }
    fprintf(stderr, "usage: zolBench compress DIR | scan DIR | generate PATH BYTES SEED | zlibloop SRC:DST...\n");
    return 2;
}
