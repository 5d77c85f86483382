// Runs before the dump handler, inside the same sandbox: checks that every
// chip's final dump directory, and its link directory (or, while that is
// missing, the directory it will be made in), is a directory this process
// may write. The handler removes a source whose
// transfer failed, so a directory the sandbox leaves read-only, or a flash
// that is not mounted, would cost every dump of every boot. Failing here
// instead fails the unit visibly and leaves every dump in persistent memory
// for the next boot.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "zolUrdaDumpHandler_common.h"

namespace {

constexpr char kPrimaryRoot[] = "/run/pmem/zol";
constexpr char kFallbackRootVariable[] = "APP_TMP";
constexpr uint16_t kFirstMosaId = 1;
constexpr uint16_t kLastMosaId = 5;
constexpr size_t kPathLine = 0;      // line 1 of both files names a directory
constexpr size_t kLinesRead = 1;
// journald reads a "<N>" prefix as the line's priority: these lines are
// errors, so that `journalctl -p err` shows them.
constexpr char kJournalError[] = "<3>";

// The dump areas' root as the handler picks it; empty when there is none.
std::string dumpAreaRoot()
{
    if (isDirectory(kPrimaryRoot)) {
        return kPrimaryRoot;
    }
    const char *fallbackRoot = getenv(kFallbackRootVariable);
    return fallbackRoot == nullptr ? std::string() : std::string(fallbackRoot);
}

// 0 when path is a directory this process may create entries in, else the
// reason: access() reports a read-only mount (EROFS), which is what the
// sandbox makes of every path it was not told to leave writable.
int directoryWriteError(const std::string &path)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return errno;
    }
    if (!S_ISDIR(status.st_mode)) {
        return ENOTDIR;
    }
    return access(path.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

bool checkDirectory(uint16_t mosaId, const char *role, const std::string &directory)
{
    int error = directoryWriteError(directory);
    if (error == 0) {
        return true;
    }
    fprintf(stderr,
            "%smosa %u: the %s %s cannot be written here: %s. The move does not run, and every dump waits in "
            "persistent memory for the next boot. Mount its file system and let the unit write it with the line "
            "ReadWritePaths=%s in a drop-in (systemctl edit zol-cold-restart-dump-handler.service).\n",
            kJournalError, static_cast<unsigned>(mosaId), role, directory.c_str(), strerror(error),
            directory.c_str());
    return false;
}

// A chip whose configuration names no directory is left to the handler,
// which reports it and keeps its dumps.
bool checkChip(uint16_t mosaId, const std::string &root)
{
    std::string area = root + "/mosa" + std::to_string(mosaId) + "/";
    if (!isDirectory(area)) {
        return true;
    }
    bool writable = true;
    std::string finalDumpFilePath =
        readConfigLines(diskInfoFilePath(root + "/diskInfo", mosaId), kLinesRead)[kPathLine];
    // Both lines are prefixes: the files land in the directory part.
    if (!finalDumpFilePath.empty()) {
        writable = checkDirectory(mosaId, "final dump directory", directoryOf(finalDumpFilePath + "x"));
    }
    // A link directory that is missing yet is made by the move itself, in
    // the nearest directory above it that exists.
    std::string linkDumpFilePath = readConfigLines(area + kInfoFileName, kLinesRead)[kPathLine];
    if (!linkDumpFilePath.empty()) {
        std::string linkDirectory = directoryOf(linkDumpFilePath + "x");
        while (!isDirectory(linkDirectory) && linkDirectory != directoryOf(linkDirectory)) {
            linkDirectory = directoryOf(linkDirectory);
        }
        writable = checkDirectory(mosaId, "link directory", linkDirectory) && writable;
    }
    return writable;
}

} // namespace

int main()
{
    std::string root = dumpAreaRoot();
    if (root.empty()) {
        return EXIT_SUCCESS;
    }
    bool writable = true;
    for (uint16_t mosaId = kFirstMosaId; mosaId <= kLastMosaId; ++mosaId) {
        writable = checkChip(mosaId, root) && writable;
    }
    return writable ? EXIT_SUCCESS : EXIT_FAILURE;
}
