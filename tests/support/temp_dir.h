// A fresh folder under /tmp for the length of a scope. When the scope ends the
// folder and all it holds are removed through the file system, without a shell.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "sandbox.h"

// Removes path and all it holds, without a shell; a missing one is no error.
inline void temp_dir_remove(const std::string &path)
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

struct temp_dir {
    std::string path;  // empty when the folder could not be made

    explicit temp_dir(const char *tag) : path(sandbox_tempdir(tag)) {}
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    ~temp_dir() { temp_dir_remove(path); }

    // A name inside the folder.
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};
