#ifndef ZOL_TEST_HELPERS_H
#define ZOL_TEST_HELPERS_H

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

// A fresh directory below TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zolXXXXXX").string();
        m_path = mkdtemp(&pattern[0]) ? pattern + "/" : std::string();
    }
    ~TempDir()
    {
        std::error_code ignored; // what cannot be removed is left for inspection
        std::filesystem::remove_all(m_path, ignored);
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
inline void writeSparseFile(const std::string &path, std::uintmax_t size)
{
    writeFile(path, "");
    std::filesystem::resize_file(path, size);
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Also true for a soft link whose target is gone.
inline bool pathExists(const std::string &path)
{
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

#endif
