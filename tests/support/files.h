// SPDX-License-Identifier: MIT
// Files a test leaves behind: the temporary files of received transfers in a folder.
#pragma once

#include <dirent.h>

#include <cstring>
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

}  // namespace nimbet::test
