// A command line as main() gets it, for tests that call a parser directly.
#pragma once

#include <string>
#include <vector>

// A pointer to each of words (which must outlive the result), then the null
// that ends argv.
inline std::vector<char *> argv_of(std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}
