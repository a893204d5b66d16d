// A temporary folder tree for walker tests (a ScratchDir that makes files and
// folders by relative path), removed when the test ends.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace qm::shell::test {

class TempTree {
  public:
    // The root without a final separator.
    std::string root() const { return dir_.str(); }
    std::string path(const std::string& rel) const { return (dir_ / rel).string(); }
    void dir(const std::string& rel) const { std::filesystem::create_directories(dir_ / rel); }
    void file(const std::string& rel, const std::string& content = "x") const {
        dir(std::filesystem::path(rel).parent_path().string());
        std::ofstream(dir_ / rel) << content;
    }

  private:
    qm::testing::ScratchDir dir_{"qm-shell"};
};

// What `body` returns (or "exception: " and what it threw), run where
// permission bits bind: here when not root; as root, whom they do not stop,
// in a forked child that became user nobody, with `tree` opened to others.
inline std::string WherePermissionsBind(const TempTree& tree,
                                        const std::function<std::string()>& body) {
    const auto run = [&]() -> std::string {
        try {
            return body();
        } catch (const std::exception& e) {
            return std::string("exception: ") + e.what();
        }
    };
    if (::geteuid() != 0) return run();
    std::filesystem::permissions(
        tree.root(), std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
        std::filesystem::perm_options::add);
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const std::string out = run();
        ::_exit(::write(fds[1], out.data(), out.size()) == ssize_t(out.size()) ? 0 : 4);
    }
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child as nobody: " << status;
    return out;
}

}  // namespace qm::shell::test
