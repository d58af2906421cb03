#include "support/TempDir.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
    // A fresh name that no other test process holds: creating the directory
    // fails when it exists already.
    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "-%016llx", static_cast<unsigned long long>(random()));
        fs::path candidate = fs::temp_directory_path() / (prefix + suffix);
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory for " + prefix);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
    std::string file = PathOf(name);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    return file;
}

std::string TempDir::Read(const std::string& name) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    if (!in) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
