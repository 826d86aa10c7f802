// SPDX-License-Identifier: MIT
// Files a test leaves behind: the temporary files of received transfers in a folder.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace nimbet::test {

// The temporary files (name.part, name.part.N) in a folder.
inline int part_files(const std::string &dir)
{
    int n = 0;
    DIR *d = ::opendir(dir.c_str());
    while (const dirent *e = d != nullptr ? ::readdir(d) : nullptr)
        n += std::strstr(e->d_name, ".part") != nullptr ? 1 : 0;
    if (d != nullptr)
        ::closedir(d);
    return n;
}

// A new folder of its own under the test's temporary folder, with a slash
// at the end; removed with what it holds when this goes.
class TempFolder {
public:
    explicit TempFolder(const std::string &parent, const char *prefix)
    {
        std::string pattern = parent + prefix + "XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern + "/";
    }
    ~TempFolder()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    // Empty when no folder could be made.
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

}  // namespace nimbet::test
