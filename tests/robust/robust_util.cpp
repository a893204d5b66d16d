#include "robust_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "mapi/tags.h"
#include "msg/msg.h"
#include "pst/read/pst_file.h"
#include "pst/store/message_compare.h"
#include "support/message_gen.h"
#include "support/validators.h"

namespace qm::robust {

namespace {

// The first word of a subject: the part subjectOf() made (8-bit subjects
// carry a Cyrillic tail after it).
std::string keyOf(const std::string& subject) {
    return subject.substr(0, subject.find(' '));
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

std::vector<uint8_t> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::vector<uint8_t>& b) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

std::string subjectOf(size_t index) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Robust-%05zu", index);
    return buf;
}

std::map<std::string, fs::path> writeMessageTree(const fs::path& root, size_t count, size_t folders,
                                                 uint64_t bulk) {
    std::map<std::string, fs::path> out;
    for (size_t i = 0; i < count; ++i) {
        qm::testing::MessageSpec spec;
        spec.seed = uint32_t(i + 1);
        spec.subject = subjectOf(i);
        spec.unicode = i % 9 != 4;
        spec.recipients = i % 4;
        spec.namedById = i % 3;
        spec.namedByName = i % 13 == 0 ? 2 : 0;
        // Every tenth message carries an attachment of a few blocks, so a
        // kill also lands inside data trees.
        if (i % 10 == 0) spec.attachmentSizes = {20000 + i};
        if (i % 10 == 5) spec.attachmentSizes = {16, 300};
        if (i % 25 == 7) spec.embedDepth = 1;
        if (bulk) spec.attachmentSizes.push_back(bulk / 2 + (i * 7919) % (bulk * 3 / 2));
        const fs::path dir = root / ("folder" + std::to_string(i % folders));
        fs::create_directories(dir);
        const fs::path file = dir / (subjectOf(i) + ".msg");
        qm::msg::writeMsgFile(qm::testing::makeMessage(spec), file);
        out[subjectOf(i)] = file;
    }
    return out;
}

std::string cliPath() {
    const char* bin = std::getenv("QM_BIN_DIR");
    if (bin && *bin) return std::string(bin) + "/quillmark-cli";
    // Beside the test binaries: build/tests -> build/bin.
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return (self.parent_path().parent_path() / "bin" / "quillmark-cli").string();
}

Child spawn(const std::vector<std::string>& argv, const ChildOptions& options) {
    int errPipe[2] = {-1, -1};
    if (options.stderrPipe && ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
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
        if (options.stderrPipe) {
            if (::dup2(errPipe[1], 2) < 0) ::_exit(126);
        } else {
            redirect(options.stderrFile, 2);
        }
        const int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0) ::dup2(in, 0);
        if (options.setup) options.setup();
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    Child child;
    child.pid = pid;
    if (options.stderrPipe) {
        ::close(errPipe[1]);
        child.stderrFd = errPipe[0];
    }
    return child;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int runToEnd(const std::vector<std::string>& argv, std::string* out, std::string* err,
             const ChildOptions& options) {
    ScratchDir tmp("qm-run");
    ChildOptions o = options;
    o.stdoutFile = tmp / "out";
    o.stderrFile = tmp / "err";
    o.stderrPipe = false;
    const Child c = spawn(argv, o);
    const int code = waitFor(c.pid);
    if (out) *out = slurp(tmp / "out");
    if (err) *err = slurp(tmp / "err");
    return code;
}

namespace {

std::vector<std::pair<std::string, mapi::Message>> readStoreList(const fs::path& pst) {
    auto file = pst::read::PstFile::open(pst);
    std::vector<std::pair<std::string, mapi::Message>> out;
    for (const auto& node : file->folderTree()) {
        for (auto nid : file->messageNids(node.folder.nid)) {
            mapi::Message m = file->readMessage(nid);
            out.emplace_back(keyOf(pst::read::readableSubject(m.props)), std::move(m));
        }
    }
    return out;
}

}  // namespace

std::map<std::string, mapi::Message> readStore(const fs::path& pst) {
    std::map<std::string, mapi::Message> out;
    for (auto& [key, m] : readStoreList(pst)) out.emplace(key, std::move(m));
    return out;
}

size_t storedMessageCount(const fs::path& pst) {
    auto file = pst::read::PstFile::open(pst);
    size_t n = 0;
    for (const auto& node : file->folderTree()) n += file->messageNids(node.folder.nid).size();
    return n;
}

std::string diffConverted(const fs::path& source, const mapi::Message& stored) {
    mapi::Message expected = msg::readMsgFile(source);
    // The conversion writes the flags word whole: read, and has-attachment
    // exactly when the message has attachments.
    expected.props.set(mapi::Property::int32(
        mapi::tag::MessageFlags,
        mapi::MSGFLAG_READ | (expected.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH)));
    // The store keeps every embedded message's MSGFLAG_HASATTACH true to its
    // attachments; the other bits are the file's.
    std::function<void(mapi::Message&)> fixEmbedded = [&](mapi::Message& m) {
        for (auto& a : m.attachments) {
            if (!a.embedded) continue;
            mapi::Message& e = *a.embedded;
            if (auto f = e.props.int32(mapi::tag::MessageFlags)) {
                int32_t bit = e.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH;
                e.props.set(mapi::Property::int32(mapi::tag::MessageFlags,
                                                  (*f & ~mapi::MSGFLAG_HASATTACH) | bit));
            }
            fixEmbedded(e);
        }
    };
    fixEmbedded(expected);
    mapi::Message actual = stored.clone();
    pst::storetest::normalize(expected, actual);
    return qm::testing::diffMessages(expected, actual);
}

bool havePffinfo() {
    return ::access("/usr/bin/pffinfo", X_OK) == 0;
}

std::string verifyStore(const fs::path& pst, const std::map<std::string, fs::path>& sources,
                        std::set<std::string>* stored) {
    std::ostringstream problems;
    std::string out;
    std::string err;
    const int check = runToEnd({cliPath(), "check", pst.string()}, &out, &err);
    if (check != 0) problems << "quillmark-cli check exit " << check << ":\n" << out << err;
    if (const auto info = qm::testing::validators::pffinfo(pst); info.ran())
        for (const auto& e : info.errors) problems << "pffinfo: " << e << "\n";
    try {
        std::set<std::string> seen;
        for (const auto& [key, m] : readStoreList(pst)) {
            if (!seen.insert(key).second) {
                problems << "message " << key << " stored twice\n";
                continue;
            }
            const auto src = sources.find(key);
            if (src == sources.end()) {
                problems << "message '" << key << "' has no source\n";
                continue;
            }
            const std::string diff = diffConverted(src->second, m);
            if (!diff.empty()) problems << "message " << key << " differs: " << diff << "\n";
        }
        if (stored) *stored = std::move(seen);
    } catch (const std::exception& e) {
        problems << "our reader: " << e.what() << "\n";
    }
    return problems.str();
}

}  // namespace qm::robust
