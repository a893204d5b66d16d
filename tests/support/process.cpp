#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "support/scratch_dir.h"

namespace qm::testing {

std::string sourceDir() {
    const char* env = std::getenv("QM_SOURCE_DIR");
    return env && *env ? env : QM_DEFAULT_SOURCE_DIR;
}

std::string binDir() {
    const char* env = std::getenv("QM_BIN_DIR");
    return env && *env ? env : QM_DEFAULT_BIN_DIR;
}

fs::path sharedDir(const std::string& sub) {
    const char* env = std::getenv("QM_SHARED_DIR");
    if (!env || !*env || !fs::is_directory(fs::path(env) / sub)) return {};
    return fs::path(env) / sub;
}

std::vector<fs::path> sharedFiles(const std::string& sub, const std::string& ext) {
    std::vector<fs::path> out;
    if (const fs::path dir = sharedDir(sub); !dir.empty())
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (e.is_regular_file() && e.path().extension() == ext) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<uint8_t> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::vector<uint8_t>& b) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

std::string readText(const fs::path& p) {
    const auto b = readFile(p);
    return std::string(b.begin(), b.end());
}

Child spawn(const std::vector<std::string>& argv, const ChildOptions& options) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        auto redirect = [](const fs::path& file, int target) {
            const int fd = ::open(file.empty() ? "/dev/null" : file.c_str(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::dup2(fd, target) < 0) ::_exit(126);
        };
        redirect(options.stdoutFile, 1);
        redirect(options.stderrFile, 2);
        const int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0) ::dup2(in, 0);
        if (options.setup) options.setup();
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return Child{pid};
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

Outcome runToEnd(const std::vector<std::string>& argv, ChildOptions options,
                 const std::function<void(pid_t)>& during) {
    ScratchDir tmp("qm-run");
    options.stdoutFile = tmp / "out";
    options.stderrFile = tmp / "err";
    int errPipe[2] = {-1, -1};
    if (during) {
        if (::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        options.setup = [fd = errPipe[1], previous = options.setup] {
            if (::dup2(fd, 2) < 0) ::_exit(126);
            if (previous) previous();
        };
    }
    const Child child = spawn(argv, options);
    Outcome r;
    if (during) {
        ::close(errPipe[1]);
        ::fcntl(errPipe[0], F_SETPIPE_SZ, 4096);
        FILE* err = ::fdopen(errPipe[0], "r");
        char line[8192];
        if (std::fgets(line, sizeof line, err))
            during(child.pid);
        else
            r.err = "(the child wrote no line to stderr)\n";
        while (std::fgets(line, sizeof line, err)) r.err += line;
        std::fclose(err);
    }
    r.code = waitFor(child.pid);
    r.out = readText(tmp / "out");
    r.err += readText(tmp / "err");
    r.report = nlohmann::json::parse(r.out, nullptr, false);
    return r;
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace qm::testing
