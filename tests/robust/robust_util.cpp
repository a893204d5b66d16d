#include "robust_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "mapi/bytes.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/read/pst_file.h"
#include "pst/store/message_compare.h"
#include "support/message_gen.h"
#include "support/validators.h"

namespace qm::robust {

Bytes readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

std::map<std::string, fs::path> writeMessageTree(const fs::path& root, size_t count, size_t folders,
                                                 uint64_t bulk) {
    std::map<std::string, fs::path> out;
    for (size_t i = 0; i < count; ++i) {
        char subject[32];
        std::snprintf(subject, sizeof subject, "Robust-%05zu", i);
        qm::testing::MessageSpec spec;
        spec.seed = uint32_t(i + 1);
        spec.subject = subject;
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
        const fs::path file =
            root / ("folder" + std::to_string(i % folders)) / (spec.subject + ".msg");
        fs::create_directories(file.parent_path());
        qm::msg::writeMsgFile(qm::testing::makeMessage(spec), file);
        out[subject] = file;
    }
    return out;
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
        if (!options.stderrPipe) redirect(options.stderrFile, 2);
        if (options.stderrPipe && ::dup2(errPipe[1], 2) < 0) ::_exit(126);
        const int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0) ::dup2(in, 0);
        if (options.setup) options.setup();
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (options.stderrPipe) ::close(errPipe[1]);
    return Child{pid, errPipe[0]};
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

namespace {

std::string slurp(const fs::path& path) {
    const Bytes b = readFile(path);
    return std::string(b.begin(), b.end());
}

}  // namespace

Outcome runToEnd(const std::vector<std::string>& argv, const ChildOptions& options) {
    ScratchDir tmp("qm-run");
    ChildOptions o = options;
    o.stdoutFile = tmp / "out";
    o.stderrFile = tmp / "err";
    o.stderrPipe = false;
    Outcome r;
    r.code = waitFor(spawn(argv, o).pid);
    r.out = slurp(tmp / "out");
    r.err = slurp(tmp / "err");
    r.report = nlohmann::json::parse(r.out, nullptr, false);
    return r;
}

Outcome convertMidRun(const fs::path& pst, const fs::path& src,
                      const std::function<void(pid_t)>& during) {
    ScratchDir tmp("qm-run");
    ChildOptions options;
    options.stdoutFile = tmp / "out";
    options.stderrPipe = true;
    const Child child =
        spawn({cliPath(), "convert", "--json", "-o", pst.string(), src.string()}, options);
    ::fcntl(child.stderrFd, F_SETPIPE_SZ, 4096);
    FILE* err = ::fdopen(child.stderrFd, "r");
    char line[8192];
    Outcome r;
    if (std::fgets(line, sizeof line, err)) {
        during(child.pid);
    } else {
        r.err = "(the converter wrote no progress line)\n";
    }
    while (std::fgets(line, sizeof line, err)) r.err += line;
    std::fclose(err);
    r.code = waitFor(child.pid);
    r.out = slurp(tmp / "out");
    r.report = nlohmann::json::parse(r.out, nullptr, false);
    return r;
}

ChildOptions limited(int cpuSeconds) {
    ChildOptions o;
    o.setup = [cpuSeconds] {
        // An endless loop becomes SIGXCPU instead of a hung test.
        const struct rlimit cpu = {rlim_t(cpuSeconds), rlim_t(cpuSeconds)};
        ::setrlimit(RLIMIT_CPU, &cpu);
#ifndef QM_ROBUST_ASAN
        const struct rlimit as = {rlim_t(768) << 20, rlim_t(768) << 20};
        ::setrlimit(RLIMIT_AS, &as);
#endif
    };
    return o;
}

Mutants cutsAndFlips(const Bytes& b, std::mt19937& rng, const std::vector<size_t>& cuts, int flips,
                     int bits) {
    Mutants out;
    for (size_t cut : cuts) {
        if (cut < b.size())
            out.emplace_back("cut" + std::to_string(cut), Bytes(b.begin(), b.begin() + long(cut)));
    }
    for (int n = 0; n < flips; ++n) {
        Bytes f = b;
        for (int k = 0; k < bits; ++k) f[rng() % f.size()] ^= uint8_t(1u << (rng() % 8));
        out.emplace_back("flip" + std::to_string(n), std::move(f));
    }
    return out;
}

void fixHeaderCrcs(Bytes& b) {
    namespace ndb = qm::pst::ndb;
    if (b.size() < ndb::kHeaderSize) return;
    const uint8_t* from = b.data() + ndb::kHeaderCrcStart;
    storeLE32(b.data() + ndb::hdr::dwCRCPartial, ndb::crc32(from, ndb::kHeaderCrcPartialSize));
    storeLE32(b.data() + ndb::hdr::dwCRCFull, ndb::crc32(from, ndb::kHeaderCrcFullSize));
}

namespace {

// Keyed by the first word of the subject: the part writeMessageTree() made
// (8-bit subjects carry a Cyrillic tail after it).
std::vector<std::pair<std::string, mapi::Message>> readStoreList(const fs::path& pst) {
    auto file = pst::read::PstFile::open(pst);
    std::vector<std::pair<std::string, mapi::Message>> out;
    for (const auto& node : file->folderTree()) {
        for (auto nid : file->messageNids(node.folder.nid)) {
            mapi::Message m = file->readMessage(nid);
            const std::string subject = pst::read::readableSubject(m.props);
            out.emplace_back(subject.substr(0, subject.find(' ')), std::move(m));
        }
    }
    return out;
}

// The conversion writes the flags word whole: read, and has-attachment
// exactly when the message has attachments; in embedded messages only the
// has-attachment bit is the store's, the other bits are the file's.
void expectedFlags(mapi::Message& m, bool top) {
    const auto f = m.props.int32(mapi::tag::MessageFlags);
    const int32_t attach = m.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH;
    if (top || f) {
        m.props.set(mapi::Property::int32(
            mapi::tag::MessageFlags,
            (top ? mapi::MSGFLAG_READ : *f & ~mapi::MSGFLAG_HASATTACH) | attach));
    }
    for (auto& a : m.attachments) {
        if (a.embedded) expectedFlags(*a.embedded, false);
    }
}

}  // namespace

std::map<std::string, mapi::Message> readStore(const fs::path& pst) {
    std::map<std::string, mapi::Message> out;
    for (auto& [key, m] : readStoreList(pst)) out.emplace(key, std::move(m));
    return out;
}

std::string verifyStore(const fs::path& pst, const std::map<std::string, fs::path>& sources,
                        std::set<std::string>* stored) {
    std::ostringstream problems;
    const Outcome check = runToEnd({cliPath(), "check", pst.string()});
    if (check.code != 0) {
        problems << "quillmark-cli check exit " << check.code << ":\n" << check.out << check.err;
    }
    if (const auto info = qm::testing::validators::pffinfo(pst); info.ran()) {
        for (const auto& e : info.errors) problems << "pffinfo: " << e << "\n";
    }
    try {
        std::set<std::string> seen;
        for (const auto& [key, m] : readStoreList(pst)) {
            const auto src = sources.find(key);
            if (!seen.insert(key).second) {
                problems << "message " << key << " stored twice\n";
            } else if (src == sources.end()) {
                problems << "message '" << key << "' has no source\n";
            } else {
                mapi::Message expected = msg::readMsgFile(src->second);
                expectedFlags(expected, true);
                mapi::Message actual = m.clone();
                pst::storetest::normalize(expected, actual);
                const std::string diff = qm::testing::diffMessages(expected, actual);
                if (!diff.empty()) problems << "message " << key << " differs: " << diff << "\n";
            }
        }
        if (stored) *stored = std::move(seen);
    } catch (const std::exception& e) {
        problems << "our reader: " << e.what() << "\n";
    }
    return problems.str();
}

}  // namespace qm::robust
