// Entry point of the cold restart dump handler: finds each chip's
// intermediate dump area and has its dumps moved, one chip after another.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "zolUrdaDumpHandler_common.h"
#include "zolUrdaTrace.h"

namespace {

constexpr char kPrimaryRoot[] = "/run/pmem/zol";
constexpr char kFallbackRootVariable[] = "APP_TMP";
constexpr char kDiskInfoSuffix[] = "/diskInfo";
constexpr char kChipSuffixPrefix[] = "/mosa";
constexpr size_t kChipSuffixSize = 8; // "%u/" of any 16-bit number and its NUL
constexpr uint16_t kDiskInfoChip = 0;
constexpr uint16_t kFirstMosaId = 1;
constexpr uint16_t kLastMosaId = 5;

// Builds the chip's intermediate dump area (or, with diskInfo set, the
// disk-information area) below the root and checks that it is a directory.
// path is written only on success.
bool resolveDumpAreaPath(uint16_t mosaId, std::string &path, bool diskInfo)
{
    char chipSuffix[kChipSuffixSize];
    snprintf(chipSuffix, sizeof chipSuffix, "%u/", static_cast<unsigned>(mosaId));

    // The fallback root is consulted only when the primary root itself is
    // missing, never when just a chip's directory is.
    std::string candidate = kPrimaryRoot;
    if (!isDirectory(candidate)) {
        const char *fallbackRoot = getenv(kFallbackRootVariable);
        if (fallbackRoot == nullptr || *fallbackRoot == '\0') {
            return false;
        }
        candidate = fallbackRoot;
    }
    if (diskInfo) {
        candidate += kDiskInfoSuffix;
    } else {
        candidate += kChipSuffixPrefix;
        candidate += chipSuffix;
    }
    if (!isDirectory(candidate)) {
        return false;
    }
    path = candidate;
    if (!diskInfo) {
        ZOL_SYSLOG_TRACE("Intermediate dump path for mosa %u is : %s", static_cast<unsigned>(mosaId), path.c_str());
    }
    return true;
}

// One chip's trouble, even running out of memory, must not cost the other
// chips their dumps.
void moveChipDumps(uint16_t mosaId, const std::string &intermediateDumpPath, const std::string &diskInfoPath)
{
    try {
        DumpHandler handler(mosaId, intermediateDumpPath, diskInfoPath);
        handler.moveDumps();
    } catch (const std::exception &error) {
        ZOL_ERROR_TRACE("Moving the dumps of mosa %u failed: %s", static_cast<unsigned>(mosaId), error.what());
    } catch (...) {
        ZOL_ERROR_TRACE("Moving the dumps of mosa %u failed: unknown exception", static_cast<unsigned>(mosaId));
    }
}

} // namespace

int main()
{
    std::string diskInfoPath;
    std::string intermediateDumpPath;

    resolveDumpAreaPath(kDiskInfoChip, diskInfoPath, true);
    for (uint16_t mosaId = kFirstMosaId; mosaId <= kLastMosaId; ++mosaId) {
        currentMosaId = mosaId;
        if (!resolveDumpAreaPath(mosaId, intermediateDumpPath, false)) {
            continue;
        }
        ZOL_SYSLOG_TRACE("Will handle dumps for mosa: %u ", static_cast<unsigned>(mosaId));
        moveChipDumps(mosaId, intermediateDumpPath, diskInfoPath);
    }
    ZOL_SYSLOG_TRACE("Cold restart dump handler is DONE");
    return EXIT_SUCCESS;
}
