// Moving one chip's dumps into the final dump directory, in the order the
// data flows: trace facility, utilities, configuration and naming, transfer
// and links, retention, the move.

#define LTTNG_UST_TRACEPOINT_DEFINE
#include "zolUrdaDumpHandler_common.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <regex.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <vector>

#include "zolUrdaTrace.h"

// ---- Trace facility --------------------------------------------------------

uint32_t currentMosaId = kNoMosaSelected;

const char kSyslogTraceFormat[] = "ZOL TRACE syslog: %s:%d %s = %u %s";
const char kErrorTraceFormat[] = "ZOL_TRACE Error: %s:%d %s = %u %s";
const char kFatalTraceFormat[] = "ZOL TRACE Fatal error: %s:%d %s = %u %s";

namespace {

// LOG_USER | LOG_INFO for every kind, errors included: only the prefix tells
// an error line from a progress line.
constexpr int kTracePriority = LOG_USER | LOG_INFO;
constexpr char kMosaIdKey[] = "mosaId";

void vwriteSyslogTrace(const char *lineFormat, const char *file, int line, const char *format,
                       va_list args)
{
    char message[kTraceMessageSize];
    vsnprintf(message, sizeof message, format, args);
    // The message is an argument, never a format, so a '%' in a path stays literal.
    syslog(kTracePriority, lineFormat, file, line, kMosaIdKey, currentMosaId, message);
}

} // namespace

char *formatTraceMessage(char *buf, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(buf, size, format, args);
    va_end(args);
    return buf;
}

void writeSyslogTrace(const char *lineFormat, const char *file, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vwriteSyslogTrace(lineFormat, file, line, format, args);
    va_end(args);
}

void writeFatalTrace(const char *file, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vwriteSyslogTrace(kFatalTraceFormat, file, line, format, args);
    va_end(args);
    // Nothing after the call site may run: no destructors, no further chips.
    std::_Exit(EXIT_FAILURE);
}

// ---- Owning wrappers for C handles -----------------------------------------

namespace {

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

class GlobResult {
public:
    GlobResult() = default;
    ~GlobResult() { globfree(&m_glob); }
    GlobResult(const GlobResult &) = delete;
    GlobResult &operator=(const GlobResult &) = delete;
    glob_t *get() { return &m_glob; }

private:
    glob_t m_glob{};
};

class CompiledRegex {
public:
    explicit CompiledRegex(const std::string &pattern)
        : m_compiled(regcomp(&m_regex, pattern.c_str(), REG_EXTENDED) == 0)
    {
    }
    ~CompiledRegex()
    {
        if (m_compiled) {
            regfree(&m_regex);
        }
    }
    CompiledRegex(const CompiledRegex &) = delete;
    CompiledRegex &operator=(const CompiledRegex &) = delete;
    bool compiled() const { return m_compiled; }
    const regex_t *get() const { return &m_regex; }

private:
    regex_t m_regex{};
    bool m_compiled;
};

class DeflateStream {
public:
    DeflateStream() = default;
    ~DeflateStream() { release(); }
    DeflateStream(const DeflateStream &) = delete;
    DeflateStream &operator=(const DeflateStream &) = delete;

    int init(int level, int windowBits, int memLevel, int strategy)
    {
        int ret = deflateInit2(&m_stream, level, Z_DEFLATED, windowBits, memLevel, strategy);
        m_initialised = ret == Z_OK;
        return ret;
    }
    void release()
    {
        if (m_initialised) {
            deflateEnd(&m_stream);
            m_initialised = false;
        }
    }
    z_stream *get() { return &m_stream; }

private:
    z_stream m_stream{}; // null zalloc, zfree and opaque: zlib's own allocator
    bool m_initialised = false;
};

constexpr uint32_t kMaxSize32 = std::numeric_limits<uint32_t>::max();

uint32_t clampToSize32(off_t size)
{
    return static_cast<uint64_t>(size) > kMaxSize32 ? kMaxSize32 : static_cast<uint32_t>(size);
}

// Sizes are 32-bit byte counts; a sum that would pass 4 GiB is held at the
// largest value, so a huge dump is seen as over any budget instead of small.
uint32_t saturatingAdd(uint32_t a, uint32_t b)
{
    return a > kMaxSize32 - b ? kMaxSize32 : a + b;
}

uint32_t saturatingSubtract(uint32_t a, uint32_t b)
{
    return a < b ? 0 : a - b;
}

constexpr unsigned kBytesPerMiBShift = 20;

uint32_t bytesToMiB(uint32_t bytes)
{
    return bytes >> kBytesPerMiBShift;
}

} // namespace

// ---- Utilities -------------------------------------------------------------

bool isDirectory(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isRegularFile(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

namespace {

// A stream on an open descriptor, if it names a regular file; the
// descriptor is closed otherwise.
FilePtr regularFileStream(int fd, const char *mode)
{
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        FileDescriptor discard(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, mode);
    if (file == nullptr) {
        close(fd);
    }
    return FilePtr(file);
}

// Reading a FIFO would block, and opening a device may act on it: only a
// regular file is opened, and checked again once open in case it was swapped.
FilePtr openRegularFileForReading(const char *path)
{
    if (!isRegularFile(path)) {
        return nullptr;
    }
    return regularFileStream(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), "rb");
}

// Creates or truncates a regular file for writing. A FIFO, device or soft
// link in its place is refused before anything is written or truncated.
FilePtr openRegularFileForWriting(const char *path)
{
    constexpr mode_t kNewFileMode = 0666; // as fopen creates it, less the umask
    // Without O_TRUNC, so that nothing but a regular file is ever truncated.
    constexpr int kFlags = O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    FilePtr file = regularFileStream(open(path, kFlags, kNewFileMode), "wb");
    if (file && ftruncate(fileno(file.get()), 0) != 0) {
        file.reset();
    }
    return file;
}

} // namespace

namespace {

// A file system that keeps no directory state of its own to flush (EINVAL)
// or that is mounted read-only (EROFS) has nothing to lose on a power cut.
bool nothingToSynchronise(int error)
{
    return error == EINVAL || error == EROFS;
}

void traceSyncFailure(const std::string &path)
{
    ZOL_ERROR_TRACE("Failed to synchronise %s to storage, errno = %s", path.c_str(), strerror(errno));
}

bool syncOpenFile(int fd, const std::string &path)
{
    if (fsync(fd) == 0 || nothingToSynchronise(errno)) {
        return true;
    }
    traceSyncFailure(path);
    return false;
}

// Opens with the given flags and has the file written to storage. Soft links
// are followed: what counts is the file or directory that the path names.
bool synchronise(const std::string &path, int flags)
{
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
    if (file.get() >= 0) {
        return syncOpenFile(file.get(), path);
    }
    if (nothingToSynchronise(errno)) {
        return true;
    }
    traceSyncFailure(path);
    return false;
}

} // namespace

bool syncFile(const std::string &path)
{
    return synchronise(path, 0);
}

bool syncDirectory(const std::string &path)
{
    return synchronise(path, O_DIRECTORY);
}

std::string shellWord(const std::string &path)
{
    // Characters that no shell gives a meaning to inside a word.
    constexpr char kSafeCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@=";
    std::string word = path;
    if (!word.empty() && word[0] == '-') {
        word.insert(0, "./"); // never read as an option
    }
    if (!word.empty() && word.find_first_not_of(kSafeCharacters) == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

int64_t decimalNumber(const char *text, int64_t lowest, int64_t highest)
{
    // atoi's syntax: leading white space, an optional sign, the digits up to
    // the first other character, 0 without digits. The value is held at the
    // caller's limits instead of overflowing, on every architecture alike.
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    const int64_t limit = negative ? -lowest : highest;
    int64_t magnitude = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        magnitude = std::min<int64_t>(magnitude * 10 + (*p - '0'), limit);
    }
    return std::max(lowest, std::min(highest, negative ? -magnitude : magnitude));
}

int32_t configNumber(const std::string &text)
{
    return static_cast<int32_t>(decimalNumber(text.c_str(), std::numeric_limits<int32_t>::min(),
                                              std::numeric_limits<int32_t>::max()));
}

uint32_t seqNrNumber(const char *text)
{
    // Read like atoi within the signed range, so that a negative number means
    // what atoi's result means as an unsigned sequence number (-1 is
    // 4294967295); beyond it, up to the top of the unsigned range.
    return static_cast<uint32_t>(decimalNumber(text, std::numeric_limits<int32_t>::min(),
                                               std::numeric_limits<uint32_t>::max()));
}

bool removeFileTraced(const std::string &path, const char *failureTrace)
{
    if (remove(path.c_str()) == 0) {
        return true;
    }
    ZOL_ERROR_TRACE(failureTrace, path.c_str());
    return false;
}

bool executeCommand(const std::string &command)
{
    // The raw status word is traced undecoded: 256 for exit status 1, -1 when
    // no shell could be run, the signal number when the shell was killed.
    int status = system(command.c_str());
    if (status != 0) {
        ZOL_ERROR_TRACE("Failed to execute command %s, return code %d", command.c_str(), status);
        return false;
    }
    ZOL_FUNC_DEBUG_TRACE("Executed command %s", command.c_str());
    return true;
}

std::vector<std::string> getFilesAndSize(const std::string &pattern, uint32_t &totalSize)
{
    totalSize = 0;
    std::vector<std::string> names;
    GlobResult matches;
    int ret = glob(pattern.c_str(), GLOB_TILDE, nullptr, matches.get());
    if (ret != 0 && ret != GLOB_NOMATCH) {
        ZOL_ERROR_TRACE("Couldn't get information in the given path: %s, error: %d", pattern.c_str(), ret);
    }
    for (size_t i = 0; i < matches.get()->gl_pathc; ++i) {
        const char *name = matches.get()->gl_pathv[i];
        names.emplace_back(name);
        struct stat status;
        if (stat(name, &status) == 0) {
            totalSize += clampToSize32(status.st_size); // wraps modulo 2^32
        }
    }
    return names;
}

std::vector<std::string> splitPath(const std::string &path)
{
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            components.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return components;
}

namespace {

constexpr size_t kChunkSize = 65536;
constexpr char kTemporarySuffix[] = ".new"; // a file written beside its name, then renamed into it
constexpr int kGzipWindowBits = 16 + 11; // gzip wrapper, 2 KiB window
constexpr int kDeflateMemLevel = 7;

// Pushes the stream's pending input through deflate, writing each output
// buffer it fills; ret receives the last deflate result. False after a
// traced failure.
bool deflateChunk(z_stream *stream, int flush, FILE *destination, unsigned char *out, int &ret)
{
    do {
        stream->avail_out = kChunkSize;
        stream->next_out = out;
        ret = deflate(stream, flush);
        if (ret == Z_STREAM_ERROR) {
            ZOL_ERROR_TRACE("deflate returned STREAM_ERROR");
            return false;
        }
        size_t produced = kChunkSize - stream->avail_out;
        if (fwrite(out, 1, produced, destination) != produced || ferror(destination)) {
            ZOL_ERROR_TRACE("fwrite failed");
            return false;
        }
    } while (stream->avail_out == 0);
    return true;
}

uint32_t crc32Of(uint32_t crc, const void *data, size_t size)
{
    return static_cast<uint32_t>(crc32(crc, static_cast<const Bytef *>(data), static_cast<uInt>(size)));
}

bool writeAll(int fd, const unsigned char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Reads a regular file through once, chunk by chunk, learning its size and
// the CRC-32 of every byte; each chunk also goes to copyTo unless that is
// negative. False, with errno set, when the path is not a regular file (a
// soft link included) or a read or write fails.
bool readThrough(const std::string &path, int copyTo, FileIdentity &identity)
{
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (file.get() < 0 || fstat(file.get(), &status) != 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return false;
    }
    std::vector<unsigned char> buffer(kChunkSize);
    FileIdentity read;
    ssize_t got;
    while ((got = ::read(file.get(), buffer.data(), buffer.size())) > 0) {
        read.crc = crc32Of(read.crc, buffer.data(), static_cast<size_t>(got));
        read.size += static_cast<uint64_t>(got);
        if (copyTo >= 0 && !writeAll(copyTo, buffer.data(), static_cast<size_t>(got))) {
            return false;
        }
    }
    if (got < 0) {
        return false;
    }
    identity = read;
    return true;
}

} // namespace

bool identifyFile(const std::string &path, FileIdentity &identity)
{
    return readThrough(path, -1, identity);
}

bool DumpHandler::compressFile(const char *source, const char *destination, int level, FileIdentity *identity)
{
    FilePtr in(openRegularFileForReading(source));
    if (!in) {
        ZOL_ERROR_TRACE("Failed to open source file(%s) while compressing", source);
        return false;
    }
    FilePtr out(openRegularFileForWriting(destination));
    if (!out) {
        ZOL_ERROR_TRACE("Failed to open destination file(%s) while compressing", destination);
        return false;
    }
    // Our own chunk buffers are the only buffering: every read and write is
    // one system call of up to a chunk, and nothing is left in stdio to flush.
    setvbuf(in.get(), nullptr, _IONBF, 0);
    setvbuf(out.get(), nullptr, _IONBF, 0);

    DeflateStream stream;
    if (stream.init(level, kGzipWindowBits, kDeflateMemLevel, Z_FILTERED) != Z_OK) {
        ZOL_ERROR_TRACE("Failed to init Z stream while compressing");
        return false;
    }
    unsigned char inBuffer[kChunkSize];
    unsigned char outBuffer[kChunkSize];
    z_stream *strm = stream.get();
    int ret = Z_OK;
    int flush = Z_NO_FLUSH;
    uint64_t bytesRead = 0;
    while (flush != Z_FINISH) {
        strm->avail_in = static_cast<uInt>(fread(inBuffer, 1, kChunkSize, in.get()));
        bytesRead += strm->avail_in;
        if (ferror(in.get())) {
            ZOL_ERROR_TRACE("ferror(%s) failed", source);
            return false;
        }
        flush = feof(in.get()) ? Z_FINISH : Z_NO_FLUSH;
        strm->next_in = inBuffer;
        if (!deflateChunk(strm, flush, out.get(), outBuffer, ret)) {
            return false;
        }
        if (strm->avail_in != 0) {
            ZOL_ERROR_TRACE("strm.avail_in != 0");
            return false;
        }
    }
    if (ret != Z_STREAM_END) {
        ZOL_ERROR_TRACE("ret != Z_STREAM_END");
        return false;
    }
    if (identity != nullptr) {
        // The gzip wrapper keeps the CRC-32 of every byte read: no second read.
        *identity = {bytesRead, static_cast<uint32_t>(strm->adler)};
    }
    stream.release();
    in.reset();
    if (fsync(fileno(out.get())) != 0) {
        ZOL_ERROR_TRACE("fsync returned error");
    }
    return true;
}

// ---- Configuration and naming ----------------------------------------------

const DumpKind kLmDump{"lm_dump", "lm_", ".gz", nullptr, "Failed to stream compressing dsp dump %s",
                       "Failed to move lm dumps"};
const DumpKind kCmDump{"cm_dump", "cm_", ".gz", "cmFile = %s destFile = %s",
                       "Failed to stream compressing cm dump %s", "Failed to move cm dumps"};
const DumpKind kEmDump{"em_dump", "em_", ".gz", "emFile = %s destFile = %s",
                       "Failed to stream compressing em dump %s", "Failed to move em dumps"};
const DumpKind kTeLog{"te_log", "te_", ".log", nullptr, nullptr, "Failed to move dumped trace log"};
const DumpKind *const kDumpKinds[] = {&kLmDump, &kCmDump, &kEmDump, &kTeLog};

const char kInfoFileName[] = "info.txt";
const char kMoveMarkerName[] = "dumpMoveStarted.txt";
const char kWaitingDumpPattern[] = "*_*"; // every dump name holds '_', info.txt does not

namespace {

constexpr char kDiskInfoFilePrefix[] = "/diskInfoMosa";
constexpr uint32_t kSecondLinkChipFactor = 256;

std::string dumpName(const DumpKind &kind, uint32_t chipNumber, uint32_t seqNr)
{
    return kind.namePrefix + std::to_string(chipNumber) + "-" + std::to_string(seqNr) + kind.extension;
}

} // namespace

std::string finalFileName(const DumpKind &kind, uint16_t mosaId, uint32_t seqNr)
{
    return dumpName(kind, mosaId, seqNr);
}

std::string secondLinkName(const DumpKind &kind, uint16_t mosaId, uint32_t seqNr)
{
    return dumpName(kind, uint32_t{mosaId} * kSecondLinkChipFactor, seqNr);
}

std::string diskInfoFilePath(const std::string &diskInfoPath, uint16_t mosaId)
{
    return diskInfoPath + kDiskInfoFilePrefix + std::to_string(mosaId);
}

std::vector<std::string> readConfigLines(const std::string &path, size_t count)
{
    // A line is a C string: a NUL ends its value. No path is longer than
    // PATH_MAX, so the rest of a longer line is read past, not kept.
    constexpr size_t kMaxConfigLineLength = PATH_MAX;
    std::vector<std::string> lines(count);
    FilePtr file(openRegularFileForReading(path.c_str()));
    if (!file) {
        return lines;
    }
    for (std::string &line : lines) {
        int c;
        bool ended = false;
        while ((c = getc(file.get())) != EOF && c != '\n') {
            ended = ended || c == '\0' || line.size() == kMaxConfigLineLength;
            if (!ended) {
                line += static_cast<char>(c);
            }
        }
        if (c == EOF) {
            break;
        }
    }
    return lines;
}

std::string directoryOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

DumpHandler::DumpHandler(uint16_t mosaId, const std::string &intermediateDumpPath,
                         const std::string &diskInfoPath)
    : m_mosaId(mosaId), m_intermediateDumpPath(intermediateDumpPath), m_diskInfoPath(diskInfoPath)
{
}

// ---- Transfer and links ----------------------------------------------------

std::string linkTargetPrefix(const std::string &finalDir, const std::string &linkDir)
{
    const std::vector<std::string> finalParts = splitPath(finalDir);
    const std::vector<std::string> linkParts = splitPath(linkDir);
    size_t common = 0;
    while (common < finalParts.size() && common < linkParts.size() &&
           finalParts[common] == linkParts[common]) {
        ++common;
    }
    if (common == 0) {
        return finalDir;
    }
    std::string prefix;
    for (size_t i = common; i < linkParts.size(); ++i) {
        prefix += "../";
    }
    for (size_t i = common; i < finalParts.size(); ++i) {
        prefix += finalParts[i] + "/";
    }
    return prefix;
}

namespace {

// "ln -s TARGET LINK && ln -s TARGET LINK256": the second link only if the first was made.
std::string linkCommand(const DumpHandler::StoredFileLinks &links)
{
    return "ln -s " + shellWord(links.target) + " " + shellWord(links.first) + " && " + "ln -s " +
           shellWord(links.target) + " " + shellWord(links.second);
}

// The source lives in persistent memory, the final dump directory on flash:
// the new directory entry must be on the device before the source may go.
void syncDirectoryOf(const std::string &filePath)
{
    syncDirectory(directoryOf(filePath));
}

// A resumed move finds the links that the cut move had made, and its link
// command then stops at the first of them; the ones still missing are made
// here, so that every stored file ends with both links.
void completeLinks(const DumpHandler::StoredFileLinks &links)
{
    for (const std::string *link : {&links.first, &links.second}) {
        struct stat status;
        if (lstat(link->c_str(), &status) != 0 && errno == ENOENT &&
            symlink(links.target.c_str(), link->c_str()) != 0) {
            ZOL_ERROR_TRACE("Failed to create link %s, errno = %s", link->c_str(), strerror(errno));
        }
    }
}

} // namespace

DumpHandler::StoredFileLinks DumpHandler::linksOf(const DumpKind &kind, const MoveContext &move) const
{
    const std::string fileName = finalFileName(kind, m_mosaId, move.seqNr);
    return {move.linkPrefix + fileName, move.linkDumpFilePath + fileName,
            move.linkDumpFilePath + secondLinkName(kind, m_mosaId, move.seqNr)};
}

void DumpHandler::settleLinks(const StoredFileLinks &links, const MoveContext &move, bool commandSucceeded)
{
    if (!commandSucceeded && move.resumed) {
        completeLinks(links);
    }
    if (isDirectory(move.linkDumpFilePath)) {
        syncDirectory(move.linkDumpFilePath);
    }
}

bool DumpHandler::ownsWaitingSource(const DumpKind &kind, const MoveContext &move) const
{
    const auto entry = move.record.sources.find(kind.sourceName);
    return entry != move.record.sources.end() && entry->second.state != SourceState::stored;
}

// A stored source goes only once the record says that a copy of exactly its
// bytes is on the device: a dump that takes its name after a cut is then
// never taken for it. A source that was not stored goes as designed.
void DumpHandler::removeSource(const DumpKind &kind, MoveContext &move, const FileIdentity *stored)
{
    if (stored != nullptr) {
        move.record.sources[kind.sourceName] = {SourceState::stored, *stored};
        recordMove(move);
    }
    removeFileTraced(areaPath(kind.sourceName), "Failed to remove old dump file %s");
}

void DumpHandler::transferCompressedDump(const DumpKind &kind, MoveContext &move)
{
    constexpr int kDumpCompressionLevel = 1;
    const std::string source = m_intermediateDumpPath + kind.sourceName;
    if (!isRegularFile(source) || !ownsWaitingSource(kind, move)) {
        return;
    }
    FileIdentity identity;
    bool stored = false;
    if (move.maxNumberOfDumps != 0) {
        const std::string destination = finalDumpFilePath + finalFileName(kind, m_mosaId, move.seqNr);
        if (kind.compressTrace != nullptr) {
            ZOL_LINE_DEBUG_TRACE(kind.compressTrace, source.c_str(), destination.c_str());
        }
        if (compressFile(source.c_str(), destination.c_str(), kDumpCompressionLevel, &identity)) {
            ZOL_LINE_DEBUG_TRACE("Created dumpfile %s", destination.c_str());
            syncDirectoryOf(destination);
            stored = true;
        } else {
            ZOL_ERROR_TRACE(kind.compressFailedTrace, source.c_str());
        }
        const StoredFileLinks links = linksOf(kind, move);
        const bool linked = executeCommand(linkCommand(links));
        if (!linked) {
            ZOL_ERROR_TRACE("%s", kind.commandFailedTrace);
        }
        settleLinks(links, move, linked);
    }
    removeSource(kind, move, stored ? &identity : nullptr);
}

namespace {

void removeTracedWithError(const std::string &path)
{
    if (remove(path.c_str()) != 0) {
        ZOL_ERROR_TRACE("Failed to remove %s, errno = %s", path.c_str(), strerror(errno));
    }
}

} // namespace

// mv copies across file systems and unlinks the source before anything can
// sync the copy: a second name keeps the log in persistent memory until its
// copy is on the device. It is a hard link, or where the area refuses one, a
// copy made while the log is read for its identity. When neither can be made
// the log waits in the area for a later run: false, traced.
bool DumpHandler::keepTraceLog(const std::string &source, const std::string &keptPath, FileIdentity &identity)
{
    if (link(source.c_str(), keptPath.c_str()) == 0) {
        if (identifyFile(source, identity)) {
            return true;
        }
        const int readError = errno;
        unlink(keptPath.c_str());
        ZOL_ERROR_TRACE("Failed to read %s, errno = %s", source.c_str(), strerror(readError));
        return false;
    }
    // The copy is made beside its name and renamed into it, so that a cut
    // never leaves a part of the log under the second name.
    const int linkError = errno;
    const std::string copyPath = keptPath + kTemporarySuffix;
    remove(copyPath.c_str());
    constexpr mode_t kNewFileMode = 0666; // as fopen creates it, less the umask
    FileDescriptor copy(open(copyPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode));
    if (linkError != EEXIST && copy.get() >= 0 && readThrough(source, copy.get(), identity) &&
        rename(copyPath.c_str(), keptPath.c_str()) == 0) {
        return true;
    }
    const int copyError = errno;
    if (copy.get() >= 0) {
        unlink(copyPath.c_str());
    }
    ZOL_ERROR_TRACE("Failed to keep %s as %s, errno = %s, then %s; the trace log waits", source.c_str(),
                    keptPath.c_str(), strerror(linkError), strerror(copyError));
    return false;
}

void DumpHandler::finishTraceLog(MoveContext &move, const std::string &destination, bool moved)
{
    const std::string source = areaPath(kTeLog.sourceName);
    const StoredFileLinks links = linksOf(kTeLog, move);
    if (isRegularFile(destination)) {
        syncFile(destination);
        syncDirectoryOf(destination);
        settleLinks(links, move, moved);
    }
    if (!isRegularFile(source)) { // mv took it: its copy is on the device now
        move.record.sources[kTeLog.sourceName].state = SourceState::stored;
        recordMove(move);
    }
    if (!moved) {
        removeSource(kTeLog, move, nullptr);
    }
    removeTracedWithError(areaPath(kKeptTraceLogName));
}

void DumpHandler::transferTraceLog(MoveContext &move)
{
    const std::string source = m_intermediateDumpPath + kTeLog.sourceName;
    const std::string keptPath = areaPath(kKeptTraceLogName);
    if (!ownsWaitingSource(kTeLog, move)) {
        return;
    }
    RecordedSource &entry = move.record.sources[kTeLog.sourceName];
    // A second name left beside a newer log holds the interrupted move's log,
    // or one that no record names: copied into this move's place.
    FileIdentity kept;
    if (identifyFile(keptPath, kept) && (entry.state == SourceState::waiting || kept == entry.identity)) {
        storeKeptTraceLog(move);
        move.leftWaiting = true;
        return;
    }
    if (!isRegularFile(source)) {
        return;
    }
    if (move.maxNumberOfDumps == 0) {
        removeSource(kTeLog, move, nullptr);
        return;
    }
    FileIdentity identity;
    if (!keepTraceLog(source, keptPath, identity)) {
        return;
    }
    if (entry.state == SourceState::moving && !(identity == entry.identity)) {
        unlink(keptPath.c_str()); // arrived after the cut: it waits for a move of its own
        move.leftWaiting = true;
        return;
    }
    entry = {SourceState::moving, identity};
    recordMove(move);
    const std::string destination = finalDumpFilePath + finalFileName(kTeLog, m_mosaId, move.seqNr);
    const bool moved = executeCommand("mv " + shellWord(source) + " " + shellWord(destination) + " && " +
                                      linkCommand(linksOf(kTeLog, move)));
    if (!moved) {
        ZOL_ERROR_TRACE("%s", kTeLog.commandFailedTrace);
    }
    finishTraceLog(move, destination, moved);
}

// The interrupted move's log is at its second name, and a newer log took
// its first: the second name is copied into the log's place, and goes only
// once the copy is synchronised and linked. If the copy fails, the second
// name stays and a later run stores it.
void DumpHandler::storeKeptTraceLog(MoveContext &move)
{
    const std::string keptPath = areaPath(kKeptTraceLogName);
    const std::string destination = finalDumpFilePath + finalFileName(kTeLog, m_mosaId, move.seqNr);
    FilePtr out(openRegularFileForWriting(destination.c_str()));
    FileIdentity identity;
    if (!out || !readThrough(keptPath, fileno(out.get()), identity) || !syncOpenFile(fileno(out.get()), destination)) {
        ZOL_ERROR_TRACE("Failed to copy %s to %s, errno = %s", keptPath.c_str(), destination.c_str(), strerror(errno));
        return;
    }
    out.reset();
    const StoredFileLinks links = linksOf(kTeLog, move);
    const bool linked = executeCommand(linkCommand(links));
    if (!linked) {
        ZOL_ERROR_TRACE("%s", kTeLog.commandFailedTrace);
    }
    syncDirectoryOf(destination);
    settleLinks(links, move, linked);
    move.record.sources[kTeLog.sourceName] = {SourceState::stored, identity};
    recordMove(move);
    removeTracedWithError(keptPath);
}

// ---- Retention -------------------------------------------------------------

uint32_t DumpFileSet::totalSize() const
{
    return saturatingAdd(saturatingAdd(m_dspFileSize, m_cmFileSize), saturatingAdd(m_emFileSize, m_traceFileSize));
}

namespace {

constexpr uint32_t kInitialHighestSeqNr = 1;
constexpr uint32_t kUnknownFileSize = 32 * 1024 * 1024;
constexpr uint16_t kMaxSetVisits = 20;
constexpr size_t kPatternSlots = 4; // whole match, kind, sequence number, extension
constexpr size_t kKindGroup = 1;
constexpr size_t kSeqNrGroup = 2;

std::string dumpNamePattern(uint16_t mosaId)
{
    return "(lm|cm|te|em)_" + std::to_string(mosaId) + "-([0-9]+)\\.(gz|tar\\.gz|log)";
}

void recordDumpFile(DumpFileSet &set, const std::string &kind, const char *name, uint32_t size)
{
    if (kind == "lm") {
        set.m_dspFileName = name;
        set.m_dspFileSize = size;
    } else if (kind == "cm") {
        set.m_cmFileName = name;
        set.m_cmFileSize = size;
    } else if (kind == "em") {
        set.m_emFileName = name;
        set.m_emFileSize = size;
    } else {
        set.m_traceFileName = name;
        set.m_traceFileSize = size;
    }
}

uint32_t windowLowBound(uint32_t highestSeqNr, uint32_t maxDumps)
{
    int32_t lowBound = static_cast<int32_t>(highestSeqNr - maxDumps + 1);
    return lowBound <= 0 ? 1 : static_cast<uint32_t>(lowBound);
}

constexpr uint32_t kTopOfDataModel = std::numeric_limits<int32_t>::max();
constexpr uint32_t kTopSeqNr = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kSeqNrCircle = uint64_t{1} << 32;

// Numbers above the signed 32-bit range come only from foreign names, a
// marker's content or 2^31 moves; counted plainly, the numbering would then
// freeze at the top and every move would write over the last set. So they
// are read on a circle: the newest set is the one before the widest gap
// between used numbers, and the next number lies inside that gap, so it is
// always free. Numbers within the signed range are closer to each other than
// half the circle, so for them the circle's order is the plain order.
uint32_t newestOnTheCircle(const std::map<uint32_t, DumpFileSet> &dumpFiles)
{
    uint32_t newest = dumpFiles.rbegin()->first;
    uint64_t widestGap = kSeqNrCircle - newest + dumpFiles.begin()->first;
    for (auto set = dumpFiles.begin(), next = std::next(set); next != dumpFiles.end(); ++set, ++next) {
        if (uint64_t{next->first} - set->first > widestGap) {
            widestGap = next->first - set->first;
            newest = set->first;
        }
    }
    return newest;
}

} // namespace

NumberingFrame numberingFrame(const std::map<uint32_t, DumpFileSet> &dumpFiles, uint32_t highestSeqNr,
                              uint32_t maxDumps)
{
    if (highestSeqNr <= kTopOfDataModel) {
        return {0, windowLowBound(highestSeqNr, maxDumps), highestSeqNr};
    }
    const uint32_t newest = newestOnTheCircle(dumpFiles);
    return {newest + 1, kSeqNrCircle - maxDumps, kSeqNrCircle - 1};
}

uint32_t NumberingFrame::seqNrAt(uint64_t distance) const
{
    return static_cast<uint32_t>(origin + distance);
}

uint32_t NumberingFrame::distanceOf(uint32_t seqNr) const
{
    return seqNr - origin;
}

uint32_t NumberingFrame::next(const std::map<uint32_t, DumpFileSet> &keptByDistance) const
{
    // Round the circle, 0 is passed over while 1 is free: a set 0 would be
    // deleted first once the numbers are plain again.
    const uint32_t newestSeqNr = seqNrAt(newest);
    if (newestSeqNr == kTopSeqNr && keptByDistance.count(distanceOf(1)) == 0) {
        return 1;
    }
    return newestSeqNr + 1;
}

namespace {

bool lineDebugTraceEnabled()
{
    return lttng_ust_tracepoint_enabled(com_quorvel_zol_urdadumphdl, UrdaLineDebugEvent);
}

void traceKeptSet(const DumpFileSet &set)
{
    ZOL_LINE_DEBUG_TRACE("Keeping m_cmFileName %s, size m_cmFileSize %u", set.m_cmFileName.c_str(), set.m_cmFileSize);
    ZOL_LINE_DEBUG_TRACE("Keeping m_emFileName %s, size m_emFileSize %u", set.m_emFileName.c_str(), set.m_emFileSize);
    ZOL_LINE_DEBUG_TRACE("Keeping  m_dspFileName %s, size m_dspFileSize %u", set.m_dspFileName.c_str(),
                         set.m_dspFileSize);
    ZOL_LINE_DEBUG_TRACE("Keeping m_traceFileName %s, size traceFileSize %u", set.m_traceFileName.c_str(),
                         set.m_traceFileSize);
}

} // namespace

uint32_t DumpHandler::fileSizeOrUnknown(const char *name)
{
    struct stat status;
    if (stat((finalDumpFilePath + name).c_str(), &status) != 0) {
        ZOL_ERROR_TRACE("Unable to get size of %s", name);
        return kUnknownFileSize;
    }
    return clampToSize32(status.st_size);
}

bool DumpHandler::scanDumpDirectory(DumpSets &dumpFiles, uint32_t &highestSeqNr)
{
    DirPtr directory(opendir(finalDumpFilePath.c_str()));
    if (!directory) {
        ZOL_FATAL_TRACE("opendir %s failed. errno = %s", finalDumpFilePath.c_str(), strerror(errno));
    }
    CompiledRegex pattern(dumpNamePattern(m_mosaId));
    if (!pattern.compiled()) {
        ZOL_ERROR_TRACE("Failed to create regexp pattern");
        return false;
    }
    while (const struct dirent *entry = readdir(directory.get())) {
        const char *name = entry->d_name;
        regmatch_t groups[kPatternSlots];
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
            regexec(pattern.get(), name, kPatternSlots, groups, 0) != 0) {
            continue;
        }
        const regmatch_t &kindGroup = groups[kKindGroup];
        const std::string kind(name + kindGroup.rm_so, static_cast<size_t>(kindGroup.rm_eo - kindGroup.rm_so));
        const regmatch_t &seqGroup = groups[kSeqNrGroup];
        // The digit run ends at the extension's dot; leading zeros are not octal.
        const uint32_t seqNr = seqNrNumber(name + seqGroup.rm_so);
        highestSeqNr = std::max(highestSeqNr, seqNr);
        recordDumpFile(dumpFiles[seqNr], kind, name, fileSizeOrUnknown(name));
    }
    return true;
}

uint32_t DumpHandler::dropSetsBelowWindow(DumpSets &dumpFiles, uint64_t lowBound)
{
    uint32_t totalKeptSize = 0;
    uint16_t visits = 0;
    for (auto set = dumpFiles.begin(); set != dumpFiles.end();) {
        if (++visits > kMaxSetVisits) {
            ZOL_ERROR_TRACE("Iterator counter over 20!");
            break;
        }
        if (set->first < lowBound) {
            removeOldFiles(set->second);
            ZOL_LINE_DEBUG_TRACE("dumpFiles erase in C++ 11.");
            set = dumpFiles.erase(set);
            continue;
        }
        traceKeptSet(set->second);
        totalKeptSize = saturatingAdd(totalKeptSize, set->second.totalSize());
        ++set;
    }
    return totalKeptSize;
}

void DumpHandler::dropSetsOverDiskBudget(DumpSets &dumpFiles, uint64_t lowBound, uint64_t highestSeqNr,
                                         uint32_t totalKeptSize, uint32_t uncompressedSizeToMove)
{
    for (uint64_t seqNr = lowBound; seqNr <= highestSeqNr; ++seqNr) {
        ZOL_LINE_DEBUG_TRACE("m_maxDiskSpace %u MB, totalKeptSize %u MB, uncompressedSizeToMove %u MB",
                             bytesToMiB(m_maxDiskSpace), bytesToMiB(totalKeptSize),
                             bytesToMiB(uncompressedSizeToMove));
        if (saturatingAdd(uncompressedSizeToMove, totalKeptSize) < m_maxDiskSpace) {
            return;
        }
        // Nothing changes over a run of unused numbers: unless each must be
        // traced, go straight to the next set (or end, when none is left).
        auto set = dumpFiles.lower_bound(static_cast<uint32_t>(seqNr));
        if (set == dumpFiles.end() || set->first != seqNr) {
            if (!lineDebugTraceEnabled()) {
                seqNr = set == dumpFiles.end() ? highestSeqNr : uint64_t{set->first} - 1;
            }
            continue;
        }
        // Sets the window pass never reached were not counted in, so the
        // running total is held at zero rather than wrapping.
        totalKeptSize = saturatingSubtract(totalKeptSize, set->second.totalSize());
        removeOldFiles(set->second);
        dumpFiles.erase(set);
    }
}

uint32_t DumpHandler::removeOldDumps(const std::string &linkDumpFilePath, uint32_t maxDumps)
{
    DumpSets dumpFiles;
    uint32_t highestSeqNr = kInitialHighestSeqNr;
    if (!scanDumpDirectory(dumpFiles, highestSeqNr)) {
        return 0;
    }
    if (dumpFiles.empty()) {
        ZOL_LINE_DEBUG_TRACE("No previous dump files found");
        cleanDeadLinks(linkDumpFilePath);
        return kInitialHighestSeqNr;
    }
    const NumberingFrame frame = numberingFrame(dumpFiles, highestSeqNr, maxDumps);
    // Keyed by distance from the frame's origin, the sets run from the oldest
    // to the newest in ascending order, on the circle as with plain numbers.
    DumpSets byDistance;
    for (auto &set : dumpFiles) {
        byDistance.emplace(frame.distanceOf(set.first), std::move(set.second));
    }
    ZOL_LINE_DEBUG_TRACE("Will delete all files that does not have seqnum %d-%u, maxDumps %u",
                         static_cast<int>(frame.seqNrAt(frame.lowBound)), frame.seqNrAt(frame.newest), maxDumps);
    const uint32_t totalKeptSize = dropSetsBelowWindow(byDistance, frame.lowBound);
    uint32_t uncompressedSizeToMove = 0;
    getFilesAndSize(m_intermediateDumpPath + "*", uncompressedSizeToMove);
    dropSetsOverDiskBudget(byDistance, frame.lowBound, frame.newest, totalKeptSize, uncompressedSizeToMove);
    cleanDeadLinks(linkDumpFilePath);
    return frame.next(byDistance);
}

void DumpHandler::removeOldFiles(const DumpFileSet &set)
{
    for (const std::string *name : {&set.m_dspFileName, &set.m_cmFileName, &set.m_emFileName, &set.m_traceFileName}) {
        if (name->empty()) {
            continue;
        }
        if (remove((finalDumpFilePath + *name).c_str()) < 0) {
            ZOL_ERROR_TRACE("Failed to remove file: %s, errno = %s", name->c_str(), strerror(errno));
        } else {
            ZOL_LINE_DEBUG_TRACE("Removed old file: %s", name->c_str());
        }
    }
}

std::string deadLinkCommand(const std::string &linkDumpFilePath)
{
    return "find -L " + shellWord(linkDumpFilePath) + " -type l -exec rm -f {} +; true";
}

void DumpHandler::cleanDeadLinks(const std::string &linkDumpFilePath)
{
    if (!isDirectory(linkDumpFilePath)) {
        return;
    }
    const std::string command = deadLinkCommand(linkDumpFilePath);
    ZOL_LINE_DEBUG_TRACE("Cleaning dead soft links: %s ", command.c_str());
    if (!executeCommand(command)) {
        ZOL_ERROR_TRACE("Failed to execute %s ", command.c_str());
    }
}

// ---- The move --------------------------------------------------------------
//
// How a move survives a crash, a power cut or a reboot at any step. The dump
// area keeps every write across a cut, though it may come back on another
// device or as a copy, with or without its times; the final dump and link
// directories keep what was synchronised. M is the move marker. R is the
// move record (.dumpMoveStored): the move's number and each source it began
// with, waiting, moving (the trace log, once known and kept) or stored, the
// last two with the size and CRC-32 of every byte; written whole by rename,
// checked by its own CRC, valid only when it names M's number (a stored R
// also without M). A source is known only by its bytes, never by times,
// inode, device or a sample. K is the trace log's second name (.te_log.keep).
// An arrival is a dump written into the area after the cut.
//
// | Step of a move                    | Area it leaves              | A run that finds it            | Why nothing is lost or doubled         |
// |-----------------------------------|-----------------------------|--------------------------------|----------------------------------------|
// | 1 retention; M written            | no M, or M; all sources     | a new move, or resumes under M | no source has left the area            |
// | 2 R written, all waiting          | M, R; all sources           | resumes under M with R's       | kinds stored again go over themselves  |
// |                                   |                             | sources only                   |                                        |
// | 3 a kind compressed (its CRC      | M, R; fewer sources         | removes a source that matches  | a source goes only once R says a copy  |
// |   learnt on the way), linked,     |                             | its stored entry; resumes with | of exactly its bytes and its links are |
// |   both synced; R says stored;     |                             | the waiting ones               | on the device                          |
// |   then its source removed         |                             |                                |                                        |
// | 3 te: K made (read once for its   | M, R, K; te_log or not      | K goes when te_log or the copy | until R says stored, K or te_log holds |
// |   CRC); R says moving; mv, copy   |                             | under M holds its bytes, else  | the log in the area                    |
// |   and links synced; R stored; K   |                             | back as te_log; resumes        |                                        |
// |   goes                            |                             |                                |                                        |
// | 4 all stored; M, then R removed   | M or not, R stored          | removes what matches R, then   | a stored R means every copy and link   |
// |                                   |                             | M, then R                      | is on the device                       |
// | an arrival of a kind R knows as   | M, R; a source that does    | left waiting; once the resumed | R tells it from the move's own by its  |
// |   stored, or of a kind R lacks    | not match, or not in R      | move is done, moved as a new   | bytes: never written over the move's   |
// |                                   |                             | move in the same run           | copy, never removed unstored           |
// | te arrives while the move's log   | M, R (te moving), K, a      | K stays; the move copies K to  | K is removed only once its copy is     |
// |   is at K only                    | te_log that does not match  | its place; te_log moves next   | synchronised                           |
// | the area back as a copy, with or  | as in any row               | as in that row                 | only sizes and CRCs decide             |
// |   without its times               |                             |                                |                                        |
// | no hard links (link refused)      | K made as a copy beside its | as with K; a part of a copy is | the copy is made from the one read and |
// |                                   | name, renamed into it       | removed (te_log still holds it)| renamed whole before the mv            |
// | no room for K at all              | M, R; te_log                | te_log waits, traced           | the log never leaves the area unkept   |
// | no space for M or R (a full area) | M or not; R old or none     | R traced on writing; an old R  | sources go only after their copies are |
// |                                   |                             | resumes what it names; no R:   | on the device: stored twice at worst,  |
// |                                   |                             | M's designed reuse, or new     | never lost                             |
// | R unreadable, of another number   | M, R; a source of ours      | R removed; resumes under M     | the same dumps go over their own files |
// |   or not a regular file           | M, R; none of ours          | M's missing links made; M and  | M's move has nothing left; reusing its |
// |                                   |   (a foreign name is none)  | R removed                      | number would write over its set        |
// | K not matching R, te_log absent   | K                           | back as te_log: a new log      | its bytes are nowhere else             |
// | K beside a te_log it does not     | K                           | K removed, traced (a directory | never a second name of ours            |
// |   match, a valid R not naming it  |                             | with files: traced as stays)   |                                        |
// | K with no valid R                 | M or not, K                 | goes if the copy under M or    | stored twice at worst, never lost      |
// |                                   |                             | te_log holds it, else back as  |                                        |
// |                                   |                             | te_log; beside another te_log  |                                        |
// |                                   |                             | copied by the move, te_log next|                                        |
// | M alone, no R, nothing pending    | M                           | left as it is                  | not a move of ours to finish           |

bool DumpHandler::readDiskInfo(const std::string &diskInfoFile)
{
    const std::vector<std::string> lines = readConfigLines(diskInfoFile, 2);
    if (lines[0].empty()) {
        ZOL_ERROR_TRACE("No dumpFile path exist.");
        return false;
    }
    if (lines[1].empty()) {
        ZOL_ERROR_TRACE("No max disk space size exist.");
        return false;
    }
    finalDumpFilePath = lines[0];
    m_maxDiskSpace = static_cast<uint32_t>(configNumber(lines[1]));
    return true;
}

const char kKeptTraceLogName[] = ".te_log.keep";
const char kMoveRecordName[] = ".dumpMoveStored";

bool FileIdentity::operator==(const FileIdentity &other) const
{
    return size == other.size && crc == other.crc;
}

bool RecordedSource::operator==(const RecordedSource &other) const
{
    return state == other.state && identity == other.identity;
}

namespace {

constexpr size_t kMaxRecordSize = 4096;
constexpr char kRecordHeader[] = "dumpMove";
constexpr char kRecordMoving[] = "moving";
constexpr char kRecordStored[] = "stored";
constexpr char kRecordEnd[] = "end";

// Indexed by SourceState.
constexpr const char *kSourceStateNames[] = {"waiting", "moving", "stored"};

bool isSourceName(const std::string &name)
{
    for (const DumpKind *kind : kDumpKinds) {
        if (name == kind->sourceName) {
            return true;
        }
    }
    return false;
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// The deepest level of the path that is a directory already: mkdir -p makes
// the levels below it.
std::string deepestExistingDirectory(const std::string &path)
{
    std::string level = withoutTrailingSlashes(path);
    while (!isDirectory(level) && level != "/" && level != ".") {
        level = directoryOf(level);
    }
    return level;
}

// Each directory that mkdir -p made lives in its parent: every new level
// and the existing directory above them are synchronised, deepest first.
void syncNewDirectories(const std::string &path, const std::string &existing)
{
    for (std::string level = withoutTrailingSlashes(path);; level = directoryOf(level)) {
        syncDirectory(level);
        if (level == existing || level == "/" || level == ".") {
            return;
        }
    }
}

// Written beside its place and renamed into it, so that a power cut leaves
// the old content or the new one, never a part (an empty marker would
// resume the move under number 0). Whatever stands at the temporary name,
// left by a cut or put there by someone else, goes first.
bool writeFileAtomically(const std::string &path, const std::string &content)
{
    const std::string newPath = path + kTemporarySuffix;
    remove(newPath.c_str());
    constexpr mode_t kNewFileMode = 0666; // as fopen creates it, less the umask
    FileDescriptor file(open(newPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode));
    if (file.get() < 0) {
        return false;
    }
    const bool written = write(file.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (written) {
        syncOpenFile(file.get(), newPath);
    }
    if (!written || rename(newPath.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(newPath.c_str()); // a directory in the way: nothing is left behind
        errno = error;
        return false;
    }
    return true;
}

// The whole of a small regular file, or false when it is anything else.
bool readSmallFile(const std::string &path, size_t limit, std::string &content)
{
    FilePtr file(openRegularFileForReading(path.c_str()));
    if (!file) {
        return false;
    }
    content.resize(limit + 1);
    content.resize(fread(&content[0], 1, content.size(), file.get()));
    return content.size() <= limit && !ferror(file.get());
}

} // namespace

std::string formatMoveRecord(const MoveRecord &record)
{
    char line[kTraceMessageSize];
    snprintf(line, sizeof line, "%s %u %s\n", kRecordHeader, record.seqNr,
             record.stored ? kRecordStored : kRecordMoving);
    std::string text = line;
    for (const auto &source : record.sources) {
        const char *state = kSourceStateNames[static_cast<int>(source.second.state)];
        if (source.second.state == SourceState::waiting) {
            snprintf(line, sizeof line, "%s %s\n", source.first.c_str(), state);
        } else {
            snprintf(line, sizeof line, "%s %s %ju %08x\n", source.first.c_str(), state,
                     static_cast<uintmax_t>(source.second.identity.size), source.second.identity.crc);
        }
        text += line;
    }
    snprintf(line, sizeof line, "%s %08x\n", kRecordEnd, crc32Of(0, text.data(), text.size()));
    return text + line;
}

bool parseMoveRecord(const std::string &text, MoveRecord &record)
{
    // Read loosely, then accepted only if it is exactly what this program
    // writes for what was read, its CRC included: an empty, cut, garbled or
    // foreign file is never taken for a record.
    MoveRecord parsed;
    char word[NAME_MAX + 1];
    const char *p = text.c_str();
    int used = 0;
    if (sscanf(p, "%*s %u %255s%n", &parsed.seqNr, word, &used) != 2) {
        return false;
    }
    parsed.stored = strcmp(word, kRecordStored) == 0;
    for (p += used; *p == '\n' && strncmp(p + 1, kRecordEnd, strlen(kRecordEnd)) != 0; p += used) {
        char state[NAME_MAX + 1];
        if (sscanf(p, "\n%255s %255s%n", word, state, &used) != 2 || !isSourceName(word)) {
            return false;
        }
        const auto named = std::find_if(std::begin(kSourceStateNames), std::end(kSourceStateNames),
                                        [&state](const char *name) { return strcmp(name, state) == 0; });
        if (named == std::end(kSourceStateNames)) {
            return false;
        }
        RecordedSource source;
        source.state = static_cast<SourceState>(named - std::begin(kSourceStateNames));
        uintmax_t size = 0;
        if (source.state != SourceState::waiting) {
            p += used;
            if (sscanf(p, " %ju %x%n", &size, &source.identity.crc, &used) != 2) {
                return false;
            }
        }
        source.identity.size = size;
        parsed.sources[word] = source;
    }
    if (formatMoveRecord(parsed) != text) {
        return false;
    }
    record = parsed;
    return true;
}

bool DumpHandler::ensureLinkDirectory(const std::string &linkDumpFilePath)
{
    if (isDirectory(linkDumpFilePath)) {
        return true;
    }
    // Only a shell that could not be run counts; a failing mkdir shows later
    // as failing link commands.
    const std::string existing = deepestExistingDirectory(linkDumpFilePath);
    const std::string command = "mkdir -p " + shellWord(linkDumpFilePath);
    if (system(command.c_str()) < 0) {
        ZOL_ERROR_TRACE("Failed to create directory: %s, errno = %s", linkDumpFilePath.c_str(), strerror(errno));
        return false;
    }
    if (isDirectory(linkDumpFilePath)) {
        syncNewDirectories(linkDumpFilePath, existing);
    }
    return true;
}

std::string DumpHandler::areaPath(const char *name) const
{
    return m_intermediateDumpPath + name;
}

bool DumpHandler::readMarker(uint32_t &seqNr) const
{
    const std::string markerPath = areaPath(kMoveMarkerName);
    if (!isRegularFile(markerPath)) {
        return false;
    }
    seqNr = seqNrNumber(readConfigLines(markerPath, 1)[0].c_str());
    return true;
}

DumpHandler::RecordState DumpHandler::readMoveRecord(MoveRecord &record) const
{
    const std::string recordPath = areaPath(kMoveRecordName);
    struct stat status;
    if (lstat(recordPath.c_str(), &status) != 0) {
        return RecordState::absent;
    }
    std::string text;
    uint32_t markerSeqNr = 0;
    const bool marker = readMarker(markerSeqNr);
    if (!readSmallFile(recordPath, kMaxRecordSize, text) || !parseMoveRecord(text, record) ||
        (marker ? record.seqNr != markerSeqNr : !record.stored)) {
        return RecordState::damaged;
    }
    return RecordState::valid;
}

// Whether a source of the interrupted move still waits: one the record does
// not know as stored, or the trace log's second name. Without a valid
// record, every source of ours counts; a foreign name never does.
bool DumpHandler::ownsPendingSource(const MoveRecord *record) const
{
    for (const DumpKind *kind : kDumpKinds) {
        bool own = record == nullptr;
        if (record != nullptr) {
            const auto entry = record->sources.find(kind->sourceName);
            own = entry != record->sources.end() && entry->second.state != SourceState::stored;
        }
        if (own && isRegularFile(areaPath(kind->sourceName))) {
            return true;
        }
    }
    return isRegularFile(areaPath(kKeptTraceLogName));
}

// Whether the copy stored under the move's number holds exactly these bytes,
// read quietly from the disk-information file before the move reads it.
bool DumpHandler::keptLogIsOnDevice(const FileIdentity &kept, uint32_t seqNr) const
{
    const std::string finalDir = readConfigLines(diskInfoFilePath(m_diskInfoPath, m_mosaId), 1)[0];
    FileIdentity stored;
    return !finalDir.empty() && identifyFile(finalDir + finalFileName(kTeLog, m_mosaId, seqNr), stored) &&
           kept == stored;
}

namespace {

// Traced as removed only when it is gone: a directory with something in it stays.
void removeForeignKeptLog(const std::string &keptPath)
{
    if (remove(keptPath.c_str()) == 0) {
        ZOL_ERROR_TRACE("Removed %s: not the trace log of the interrupted move", keptPath.c_str());
    } else {
        ZOL_ERROR_TRACE("Failed to remove %s, errno = %s", keptPath.c_str(), strerror(errno));
    }
}

} // namespace

// The trace log's second name goes when a copy of exactly its bytes is on
// the device, or is still the log's first name. Otherwise it goes back to
// the first name: the interrupted move's log is moved again under the
// marker's number, over its own copy; any other log is then moved as a new
// one (stored twice at worst, never lost). Beside another log under the
// first name, it stays only as the interrupted move's log, which the move
// then copies; anything else there was never a second name of ours.
void DumpHandler::settleKeptTraceLog(const MoveRecord &record, RecordState state)
{
    const std::string keptPath = areaPath(kKeptTraceLogName);
    remove((keptPath + kTemporarySuffix).c_str()); // a part of a copy: the log is still at its first name
    struct stat status;
    if (lstat(keptPath.c_str(), &status) != 0) {
        return;
    }
    FileIdentity kept;
    if (!identifyFile(keptPath, kept)) {
        removeForeignKeptLog(keptPath);
        return;
    }
    const bool valid = state == RecordState::valid;
    const auto logged = record.sources.find(kTeLog.sourceName);
    const bool recordedStored = valid && logged != record.sources.end() &&
                                logged->second.state == SourceState::stored && logged->second.identity == kept;
    uint32_t seqNr = record.seqNr;
    const bool numbered = valid || readMarker(seqNr);
    const std::string source = areaPath(kTeLog.sourceName);
    FileIdentity waiting;
    const bool sourceHoldsIt = identifyFile(source, waiting) && waiting == kept;
    const bool recordedMoving = valid && logged != record.sources.end() &&
                                logged->second.state == SourceState::moving && logged->second.identity == kept;
    if (recordedStored || sourceHoldsIt || (numbered && keptLogIsOnDevice(kept, seqNr))) {
        removeTracedWithError(keptPath);
    } else if (lstat(source.c_str(), &status) != 0) {
        if (rename(keptPath.c_str(), source.c_str()) != 0) {
            ZOL_ERROR_TRACE("Failed to rename %s to %s, errno = %s", keptPath.c_str(), source.c_str(), strerror(errno));
        }
    } else if (valid && !recordedMoving) {
        removeForeignKeptLog(keptPath);
    }
}

// Only the very files the record knows as stored go: a dump written into
// the area later is a new one and waits for a move of its own.
void DumpHandler::removeStoredSources(const MoveRecord &record)
{
    for (const auto &source : record.sources) {
        FileIdentity identity;
        if (source.second.state == SourceState::stored && identifyFile(areaPath(source.first.c_str()), identity) &&
            identity == source.second.identity) {
            removeFileTraced(areaPath(source.first.c_str()), "Failed to remove old dump file %s");
        }
    }
}

// A move whose sources have all gone may still lack the links of its last
// file: a cut between the trace log's mv and its links, and the log's second
// name damaged since. They are made before the marker goes.
void DumpHandler::completeLinksOfSet(uint32_t seqNr)
{
    const std::string linkDumpFilePath = readConfigLines(areaPath(kInfoFileName), 1)[0];
    const std::string finalDir = readConfigLines(diskInfoFilePath(m_diskInfoPath, m_mosaId), 1)[0];
    if (linkDumpFilePath.empty() || finalDir.empty() || !isDirectory(linkDumpFilePath)) {
        return;
    }
    const MoveContext move{seqNr, 0, linkDumpFilePath, linkTargetPrefix(finalDir, linkDumpFilePath), true, {}};
    for (const DumpKind *kind : kDumpKinds) {
        if (isRegularFile(finalDir + finalFileName(*kind, m_mosaId, seqNr))) {
            completeLinks(linksOf(*kind, move));
        }
    }
    syncDirectory(linkDumpFilePath);
}

// True when the interrupted move resumes from its record (given back in
// resumed): it then stores only what is its own.
bool DumpHandler::settleInterruptedMove(MoveRecord &resumed)
{
    MoveRecord record;
    const RecordState state = readMoveRecord(record);
    settleKeptTraceLog(record, state);
    if (state == RecordState::absent) {
        return false;
    }
    const bool valid = state == RecordState::valid;
    const bool stored = valid && record.stored;
    if (valid) {
        removeStoredSources(record);
    } else {
        ZOL_ERROR_TRACE("Ignored %s: not the record of the interrupted move", areaPath(kMoveRecordName).c_str());
    }
    const bool finished = stored || !ownsPendingSource(valid ? &record : nullptr);
    struct stat status;
    uint32_t markerSeqNr = 0;
    if (finished && lstat(areaPath(kMoveMarkerName).c_str(), &status) == 0) {
        if (!stored && readMarker(markerSeqNr)) {
            completeLinksOfSet(markerSeqNr);
        }
        finishMove();
        return false;
    }
    if (finished || !valid) {
        removeMoveRecord();
        return false;
    }
    resumed = record;
    return true;
}

// Written whole with the state of every source; a failure is traced, and
// the move goes on as designed.
bool DumpHandler::recordMove(MoveContext &move)
{
    MoveRecord &record = move.record;
    record.stored = std::all_of(record.sources.begin(), record.sources.end(), [](const auto &source) {
        return source.second.state == SourceState::stored;
    });
    const std::string recordPath = areaPath(kMoveRecordName);
    if (writeFileAtomically(recordPath, formatMoveRecord(record))) {
        return true;
    }
    ZOL_ERROR_TRACE("Failed to write %s, errno = %s", recordPath.c_str(), strerror(errno));
    return false;
}

void DumpHandler::removeMoveRecord()
{
    remove(areaPath(kMoveRecordName).c_str());
    remove((areaPath(kMoveRecordName) + kTemporarySuffix).c_str());
}

void DumpHandler::finishMove()
{
    removeFileTraced(areaPath(kMoveMarkerName), "Failed to remove file %s");
    removeMoveRecord();
}

uint32_t DumpHandler::resumeOrStartMove(const std::string &linkDumpFilePath, int maxNumberOfDumps, bool &resumed)
{
    uint32_t seqNr = 0;
    resumed = readMarker(seqNr);
    if (resumed) {
        ZOL_FUNC_DEBUG_TRACE("Dump move was interrupted, try again with seqNr %u", seqNr);
        return seqNr;
    }
    // One slot is left for the set about to be moved.
    const uint32_t setsToKeep = maxNumberOfDumps != 0 ? static_cast<uint32_t>(maxNumberOfDumps) - 1 : 0;
    seqNr = removeOldDumps(linkDumpFilePath, setsToKeep);
    const std::string markerPath = areaPath(kMoveMarkerName);
    ZOL_FUNC_DEBUG_TRACE("Create temporary file %s", markerPath.c_str());
    writeFileAtomically(markerPath, std::to_string(seqNr) + "\n");
    return seqNr;
}

// The sources this move stores: those its record names when it resumes from
// one, else every source waiting now.
void DumpHandler::listOwnSources(MoveContext &move, const MoveRecord &resumed, bool haveRecord) const
{
    if (haveRecord) {
        move.record = resumed;
        return;
    }
    move.record.seqNr = move.seqNr;
    for (const DumpKind *kind : kDumpKinds) {
        if (isRegularFile(areaPath(kind->sourceName))) {
            move.record.sources[kind->sourceName] = {};
        }
    }
}

// A move resumed from its record leaves a dump that arrived after the cut
// waiting, as does a move that stores a log from its second name: that one
// follows in the same run, as a new move.
void DumpHandler::moveDumps()
{
    if (moveOnce() && ownsPendingSource(nullptr)) {
        moveOnce();
    }
}

bool DumpHandler::moveOnce()
{
    const std::string diskInfoFile = diskInfoFilePath(m_diskInfoPath, m_mosaId);

    MoveRecord resumed;
    const bool haveRecord = settleInterruptedMove(resumed);
    uint32_t waitingSize = 0;
    if (getFilesAndSize(areaPath(kWaitingDumpPattern), waitingSize).empty()) {
        ZOL_FUNC_DEBUG_TRACE(" No dump file to move");
        return false;
    }
    const std::vector<std::string> info = readConfigLines(areaPath(kInfoFileName), 2);
    const std::string &linkDumpFilePath = info[0];
    const std::string &maxNumberOfDumpsText = info[1];
    const int maxNumberOfDumps = configNumber(maxNumberOfDumpsText);
    if (!isDirectory(m_intermediateDumpPath)) {
        return false;
    }
    if (linkDumpFilePath.empty() || maxNumberOfDumpsText.empty()) {
        ZOL_LINE_DEBUG_TRACE("Invalid parameters in info file. linkDumpFilePath:%s Max number of dumps: %s ",
                             linkDumpFilePath.c_str(), maxNumberOfDumpsText.c_str());
        return false;
    }
    if (!readDiskInfo(diskInfoFile)) {
        return false;
    }
    ZOL_LINE_DEBUG_TRACE("DumpPath: %s , MaxNumberOfDumps: %u maxDiskSpace : %u , finalDumpFilePath: %s",
                         linkDumpFilePath.c_str(), static_cast<unsigned>(maxNumberOfDumps), m_maxDiskSpace,
                         finalDumpFilePath.c_str());
    if (!ensureLinkDirectory(linkDumpFilePath)) {
        return false;
    }
    MoveContext move{0, maxNumberOfDumps, linkDumpFilePath, linkTargetPrefix(finalDumpFilePath, linkDumpFilePath),
                     false, {}};
    move.seqNr = resumeOrStartMove(linkDumpFilePath, maxNumberOfDumps, move.resumed);
    listOwnSources(move, resumed, haveRecord && move.resumed);
    recordMove(move);

    transferCompressedDump(kLmDump, move);
    transferCompressedDump(kCmDump, move);
    transferCompressedDump(kEmDump, move);
    transferTraceLog(move);
    if (haveRecord) {
        completeLinksOfSet(move.seqNr); // links a cut left missing, whichever source went last
    }
    finishMove();
    return haveRecord || move.leftWaiting;
}
