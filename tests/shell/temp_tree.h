// A temporary folder tree for walker tests, removed when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace qm::shell::test {

class TempTree {
  public:
    TempTree() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qm-shell-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        root_ = tmpl;
    }
    ~TempTree() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The root without a final separator.
    std::string root() const { return root_.string(); }
    std::string path(const std::string& rel) const { return (root_ / rel).string(); }

    void dir(const std::string& rel) const { std::filesystem::create_directories(root_ / rel); }
    void file(const std::string& rel, const std::string& content = "x") const {
        std::filesystem::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel) << content;
    }

  private:
    std::filesystem::path root_;
};

}  // namespace qm::shell::test
