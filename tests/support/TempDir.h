#pragma once
// A fresh temporary directory for a test, removed with everything in it at
// the end.
#include <string>

class TempDir {
public:
    // Creates <temp dir>/<prefix>-XXXXXX; throws std::runtime_error on failure.
    explicit TempDir(const std::string& prefix = "kvt5100-test");
    ~TempDir();  // removes the directory recursively, errors ignored
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path; }
    std::string PathOf(const std::string& name) const { return path + "/" + name; }
    // Writes `content` (binary, truncating) to PathOf(name); returns that path.
    std::string Write(const std::string& name, const std::string& content) const;
    // The whole file PathOf(name), binary; "" when it is missing.
    std::string Read(const std::string& name) const;

private:
    std::string path;
};
