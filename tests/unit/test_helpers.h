#ifndef ZOL_TEST_HELPERS_H
#define ZOL_TEST_HELPERS_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

// A fresh directory below TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/zolXXXXXX";
        m_path = mkdtemp(&pattern[0]) ? pattern + "/" : std::string();
    }
    ~TempDir()
    {
        if (!m_path.empty()) {
            std::string command = "rm -rf '" + m_path + "'";
            if (system(command.c_str()) != 0) {
                // Left behind for inspection; nothing to undo.
            }
        }
    }
    const std::string &path() const { return m_path; }
    std::string operator/(const std::string &name) const { return m_path + name; }

private:
    std::string m_path;
};

inline void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// A sparse file of the given size: large sizes without using the disk.
inline void writeSparseFile(const std::string &path, off_t size)
{
    writeFile(path, "");
    if (truncate(path.c_str(), size) != 0) {
        abort();
    }
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool pathExists(const std::string &path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

#endif
