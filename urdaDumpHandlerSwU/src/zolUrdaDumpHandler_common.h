// Moving one chip's crash dumps from its intermediate dump area into the
// final dump directory, with retention of old dump sets, and the file and
// process utilities that this needs.
#ifndef ZOL_URDA_DUMP_HANDLER_COMMON_H
#define ZOL_URDA_DUMP_HANDLER_COMMON_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// ---- Utilities -------------------------------------------------------------

// True when path names a directory, following soft links.
bool isDirectory(const std::string &path);
// True when path names a regular file, following soft links: a FIFO, socket,
// device or directory where a file is expected is never opened.
bool isRegularFile(const std::string &path);

// Have a file, or a directory's entries, written to storage, following soft
// links to what the path names. A file system that cannot synchronise a
// directory or is read-only is not a failure; a failure is traced.
bool syncFile(const std::string &path);
bool syncDirectory(const std::string &path);

// The path as one shell word: unchanged unless it holds a character that the
// shell would interpret, then single-quoted.
std::string shellWord(const std::string &path);

// The one reader of decimal numbers: atoi's syntax, the value held at the
// given limits. Configuration values use the signed 32-bit range; sequence
// numbers, in names and in the marker, the unsigned one (a negative number
// wraps as atoi's result would).
int64_t decimalNumber(const char *text, int64_t lowest, int64_t highest);
int32_t configNumber(const std::string &text);
uint32_t seqNrNumber(const char *text);

// Removes a file; a failure is traced with failureTrace, which takes the path.
bool removeFileTraced(const std::string &path, const char *failureTrace);

// Runs one complete shell command line; true when it ended with exit status 0.
bool executeCommand(const std::string &command);

// Expands a glob pattern; totalSize receives the sum of the matched files'
// sizes, wrapping modulo 2^32.
std::vector<std::string> getFilesAndSize(const std::string &pattern, uint32_t &totalSize);

// The non-empty components of a "/"-separated path, in order.
std::vector<std::string> splitPath(const std::string &path);

// ---- Configuration and naming ----------------------------------------------

// One of the four things a chip leaves behind.
struct DumpKind {
    const char *sourceName;            // name in the intermediate dump area
    const char *namePrefix;            // "lm_", "cm_", "em_" or "te_"
    const char *extension;             // ".gz" or ".log"
    const char *compressTrace;         // line debug trace before compressing, or null
    const char *compressFailedTrace;   // error trace when compressing fails, or null
    const char *commandFailedTrace;    // error trace when the command line fails
};

extern const DumpKind kLmDump;
extern const DumpKind kCmDump;
extern const DumpKind kEmDump;
extern const DumpKind kTeLog;
extern const DumpKind *const kDumpKinds[4]; // in the order a move transfers them

extern const char kInfoFileName[];
extern const char kMoveMarkerName[];
extern const char kWaitingDumpPattern[];
// Hidden names in the dump area (no glob pattern of the move matches a name
// that starts with "."): the trace log's second name while its copy is not
// yet on the device, and the record of the move in progress.
extern const char kKeptTraceLogName[];
extern const char kMoveRecordName[];

// File name in the final dump directory and of the first link.
std::string finalFileName(const DumpKind &kind, uint16_t mosaId, uint32_t seqNr);
// Name of the second link, which carries the chip number times 256.
std::string secondLinkName(const DumpKind &kind, uint16_t mosaId, uint32_t seqNr);
// Path of a chip's disk-information file below the disk-information area.
std::string diskInfoFilePath(const std::string &diskInfoPath, uint16_t mosaId);

// The first `count` lines of a text file, without their newlines and not
// trimmed, each ending at a NUL byte; lines the file lacks (or a file that
// cannot be read, or is not a regular file) are empty.
std::vector<std::string> readConfigLines(const std::string &path, size_t count);

// The directory part of a path: what precedes its last "/" ("/" for a name at
// the root, "." for a bare name). A prefix such as finalDumpFilePath names
// the directory its files land in this way, with or without a trailing "/".
std::string directoryOf(const std::string &path);

// Prefix that makes a link in linkDir resolve to a file in finalDir: relative
// where the two share leading components, else finalDir itself.
std::string linkTargetPrefix(const std::string &finalDir, const std::string &linkDir);

// ---- Retention -------------------------------------------------------------

struct DumpFileSet {
    std::string m_dspFileName;
    std::string m_cmFileName;
    std::string m_emFileName;
    std::string m_traceFileName;
    uint32_t m_dspFileSize = 0;
    uint32_t m_cmFileSize = 0;
    uint32_t m_emFileSize = 0;
    uint32_t m_traceFileSize = 0;

    uint32_t totalSize() const;
};

// The frame in which a retention pass reads sequence numbers: plain, or on
// the circle once a number beyond the signed range is in use. Sets are
// keyed by their distance from origin, so that ascending keys run from the
// oldest set to the newest.
struct NumberingFrame {
    uint32_t origin;   // the number at distance 0
    uint64_t lowBound; // the oldest distance that the window keeps
    uint64_t newest;   // the distance of the newest number in use
    uint32_t seqNrAt(uint64_t distance) const;
    uint32_t distanceOf(uint32_t seqNr) const;
    // The number for the next move, from the sets kept (keyed by distance).
    uint32_t next(const std::map<uint32_t, DumpFileSet> &keptByDistance) const;
};
NumberingFrame numberingFrame(const std::map<uint32_t, DumpFileSet> &dumpFiles, uint32_t highestSeqNr,
                              uint32_t maxDumps);

// The dead-link command for a link directory.
std::string deadLinkCommand(const std::string &linkDumpFilePath);

// ---- The move's bookkeeping ------------------------------------------------

// What tells a waiting file from another that took its name later, and
// survives a reboot or a copy of the dump area: its size and a CRC-32 of
// every byte. Nothing a clock, a copy or a reboot changes (times, inode,
// device) and no sample of the bytes decides.
struct FileIdentity {
    uint64_t size = 0;
    uint32_t crc = 0;
    bool operator==(const FileIdentity &other) const;
};
// Reads the file through once. False when the path is not a regular file (a
// soft link included) or cannot be read.
bool identifyFile(const std::string &path, FileIdentity &identity);

// How far the move got with one of its sources: still waiting; the trace
// log known and on its way (its second name made); or its copy and links
// on the device.
enum class SourceState { waiting, moving, stored };
struct RecordedSource {
    SourceState state = SourceState::waiting;
    FileIdentity identity; // known once moving or stored
    bool operator==(const RecordedSource &other) const;
};

// The record of the move in progress, kept in the dump area beside the
// marker. It names the sources the move began with: any other dump found
// after a cut arrived later and waits for a move of its own.
struct MoveRecord {
    uint32_t seqNr = 0;
    bool stored = false; // every source is stored (or discarded): only removals remain
    std::map<std::string, RecordedSource> sources;
};
std::string formatMoveRecord(const MoveRecord &record);
// True only for exactly what formatMoveRecord writes, its own CRC included.
bool parseMoveRecord(const std::string &text, MoveRecord &record);

// ---- The per-chip handler --------------------------------------------------

class DumpHandler {
public:
    DumpHandler(uint16_t mosaId, const std::string &intermediateDumpPath,
                const std::string &diskInfoPath);

    void moveDumps();

    uint32_t removeOldDumps(const std::string &linkDumpFilePath, uint32_t maxDumps);
    void removeOldFiles(const DumpFileSet &set);
    void cleanDeadLinks(const std::string &linkDumpFilePath);
    // With identity, also learns the source's identity from the bytes read.
    bool compressFile(const char *source, const char *destination, int level, FileIdentity *identity = nullptr);

    // Configuration read by moveDumps; set directly by the unit tests.
    uint16_t m_mosaId;
    std::string finalDumpFilePath;
    uint32_t m_maxDiskSpace = 0;
    std::string m_intermediateDumpPath;
    std::string m_diskInfoPath;

    // The target of a stored file's two links and the links themselves.
    struct StoredFileLinks {
        std::string target;
        std::string first;
        std::string second;
    };

private:
    struct MoveContext {
        uint32_t seqNr;
        int maxNumberOfDumps;
        std::string linkDumpFilePath;
        std::string linkPrefix;
        bool resumed;              // the move marker was found
        MoveRecord record;         // the sources this move stores, and how far it got
        bool leftWaiting = false;  // a source of ours waits for the next move
    };
    enum class RecordState { absent, valid, damaged };

    std::string areaPath(const char *name) const;
    bool readDiskInfo(const std::string &diskInfoFile);
    bool ensureLinkDirectory(const std::string &linkDumpFilePath);
    bool readMarker(uint32_t &seqNr) const;
    RecordState readMoveRecord(MoveRecord &record) const;
    bool ownsPendingSource(const MoveRecord *record) const;
    bool keptLogIsOnDevice(const FileIdentity &kept, uint32_t seqNr) const;
    void settleKeptTraceLog(const MoveRecord &record, RecordState state);
    void removeStoredSources(const MoveRecord &record);
    void completeLinksOfSet(uint32_t seqNr);
    bool settleInterruptedMove(MoveRecord &resumed);
    bool moveOnce();
    uint32_t resumeOrStartMove(const std::string &linkDumpFilePath, int maxNumberOfDumps, bool &resumed);
    void listOwnSources(MoveContext &move, const MoveRecord &resumed, bool haveRecord) const;
    bool recordMove(MoveContext &move);
    void removeMoveRecord();
    void finishMove();
    StoredFileLinks linksOf(const DumpKind &kind, const MoveContext &move) const;
    void settleLinks(const StoredFileLinks &links, const MoveContext &move, bool commandSucceeded);
    bool ownsWaitingSource(const DumpKind &kind, const MoveContext &move) const;
    void transferCompressedDump(const DumpKind &kind, MoveContext &move);
    void transferTraceLog(MoveContext &move);
    bool keepTraceLog(const std::string &source, const std::string &keptPath, FileIdentity &identity);
    void storeKeptTraceLog(MoveContext &move);
    void finishTraceLog(MoveContext &move, const std::string &destination, bool moved);
    void removeSource(const DumpKind &kind, MoveContext &move, const FileIdentity *stored);

    using DumpSets = std::map<uint32_t, DumpFileSet>;
    uint32_t fileSizeOrUnknown(const char *name);
    bool scanDumpDirectory(DumpSets &dumpFiles, uint32_t &highestSeqNr);
    uint32_t dropSetsBelowWindow(DumpSets &dumpFiles, uint64_t lowBound);
    void dropSetsOverDiskBudget(DumpSets &dumpFiles, uint64_t lowBound, uint64_t highestSeqNr,
                                uint32_t totalKeptSize, uint32_t uncompressedSizeToMove);
};

#endif // ZOL_URDA_DUMP_HANDLER_COMMON_H
