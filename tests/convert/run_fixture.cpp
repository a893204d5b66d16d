#include "run_fixture.h"

#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "mapi/tags.h"
#include "msg/msg.h"
#include "pst/pst_test.h"
#include "pst/store/message_compare.h"
#include "support/message_gen.h"
#include "support/validators.h"

// Under AddressSanitizer the memory ceiling is left out: the sanitizer's own
// shadow memory would trip it.
#if defined(__SANITIZE_ADDRESS__)
#define QM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_ASAN 1
#endif
#endif

namespace qm::testing {

mapi::Message testMessage(const std::string& subject, size_t attachments, int32_t flags) {
    MessageSpec spec{.seed = uint32_t(std::hash<std::string>{}(subject)), .subject = subject};
    for (size_t i = 0; i < attachments; ++i) spec.attachmentSizes.push_back(100 + i);
    mapi::Message m = makeMessage(spec);
    m.props.erase(mapi::tag::MessageFlags);
    if (flags != 0) m.props.set(mapi::Property::int32(mapi::tag::MessageFlags, flags));
    return m;
}

void writeMessage(const fs::path& path, const mapi::Message& message) {
    fs::create_directories(path.parent_path());
    msg::writeMsgFile(message, path);
}

void writeBroken(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << "this is not a compound file, only text\n";
}

std::map<std::string, fs::path> writeMessageTree(const fs::path& root, size_t count, size_t folders,
                                                 uint64_t bulk) {
    std::map<std::string, fs::path> out;
    for (size_t i = 0; i < count; ++i) {
        char subject[32];
        std::snprintf(subject, sizeof subject, "Robust-%05zu", i);
        MessageSpec spec{.seed = uint32_t(i + 1),
                         .subject = subject,
                         .unicode = i % 9 != 4,
                         .recipients = i % 4,
                         .embedDepth = i % 25 == 7 ? 1 : 0,
                         .namedById = i % 3,
                         .namedByName = i % 13 == 0 ? 2u : 0u};
        // Attachments of a few blocks, so a kill also lands inside data trees.
        if (i % 10 == 0) spec.attachmentSizes = {20000 + i};
        if (i % 10 == 5) spec.attachmentSizes = {16, 300};
        if (bulk) spec.attachmentSizes.push_back(bulk / 2 + (i * 7919) % (bulk * 3 / 2));
        out[subject] = root / ("folder" + std::to_string(i % folders)) / (spec.subject + ".msg");
        writeMessage(out[subject], makeMessage(spec));
    }
    return out;
}

std::string cliAsNobody(const fs::path& dir, ChildOptions& options, std::string& why) {
    for (fs::path up = dir.parent_path(); up != up.root_path(); up = up.parent_path()) {
        if ((fs::status(up).permissions() & fs::perms::others_exec) == fs::perms::none) {
            why = "nobody cannot enter " + up.string() + ", above the scratch folder";
            return "";
        }
    }
    fs::permissions(dir, fs::perms::all, fs::perm_options::add);
    const fs::path cli = dir / "quillmark-cli";
    fs::copy_file(cliPath(), cli, fs::copy_options::overwrite_existing);
    fs::permissions(cli, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    options.setup = [previous = options.setup] {
        if (previous) previous();
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(125);
    };
    return cli.string();
}

Outcome convertMidRun(const fs::path& pst, const fs::path& src,
                      const std::function<void(pid_t)>& during) {
    return runToEnd({cliPath(), "convert", "--json", "-o", pst.string(), src.string()}, {}, during);
}

ChildOptions limited(int cpuSeconds) {
    ChildOptions o;
    o.setup = [cpuSeconds] {
        // An endless loop becomes SIGXCPU instead of a hung test.
        const struct rlimit cpu = {rlim_t(cpuSeconds), rlim_t(cpuSeconds)};
        ::setrlimit(RLIMIT_CPU, &cpu);
#ifndef QM_ASAN
        const struct rlimit as = {rlim_t(768) << 20, rlim_t(768) << 20};
        ::setrlimit(RLIMIT_AS, &as);
#endif
    };
    return o;
}

std::map<std::string, std::vector<mapi::Message>> storedMessages(const fs::path& pst) {
    const auto file = pst::read::PstFile::open(pst);
    std::map<pst::read::Nid, std::string> paths = {{file->ipmSubtree(), ""}};
    std::map<std::string, std::vector<mapi::Message>> out;
    auto read = [&](pst::read::Nid folder, const std::string& path) {
        auto& messages = out[path];
        for (auto nid : file->messageNids(folder)) messages.push_back(file->readMessage(nid));
    };
    read(file->ipmSubtree(), "");
    for (const auto& node : file->folderTree()) {
        const std::string& parent = paths[node.parent];
        read(node.folder.nid,
             paths[node.folder.nid] = (parent.empty() ? "" : parent + "\\") + node.folder.name);
    }
    return out;
}

std::string checkFindings(const fs::path& pst) {
    return pst::testing::joined(pst::read::checkFile(pst));
}

nlohmann::json readBack(const fs::path& pst) {
    using nlohmann::json;
    json folders = json::object();
    for (const auto& [path, messages] : storedMessages(pst)) {
        json& f = folders[path] = {
            {"subjects", json::array()}, {"flags", json::array()}, {"attachments", json::array()}};
        for (const mapi::Message& m : messages) {
            // 8-bit subjects in the message's own code page, as Outlook reads them.
            f["subjects"].push_back(pst::read::readableSubject(m.props, m.stringCodePage()));
            const auto flags = m.props.int32(mapi::tag::MessageFlags);
            f["flags"].push_back(flags ? json(*flags) : json(nullptr));
            f["attachments"].push_back(m.attachments.size());
        }
    }
    return {{"display_name", pst::read::PstFile::open(pst)->displayName()}, {"folders", folders}};
}

nlohmann::json readEverywhere(const fs::path& pst) {
    nlohmann::json ours;
    try {
        ours = readBack(pst);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "our reader: " << e.what();
        return nlohmann::json();
    }
    EXPECT_EQ(checkFindings(pst), "") << pst;
    const auto results = validators::all(pst);
    validators::expectClean(results);
    // pypff sees the same display name, folders, and in each folder the same
    // messages' flags and attachment counts.
    const auto pypff = std::find_if(results.begin(), results.end(),
                                    [](const auto& r) { return r.reader == "pypff"; });
    if (!pypff->ran() || !pypff->walk.is_object()) return ours;  // said by expectClean
    const nlohmann::json& walk = pypff->walk;
    EXPECT_EQ(walk["display_name"], ours["display_name"]);
    EXPECT_EQ(walk["contents"].size(), ours["folders"].size()) << pst;
    for (const auto& [path, folder] : ours["folders"].items()) {
        const auto theirs = walk["contents"].value(path, nlohmann::json::object());
        EXPECT_EQ(theirs.value("flags", nlohmann::json()), folder["flags"]) << "pypff, " << path;
        EXPECT_EQ(theirs.value("attachments", nlohmann::json()), folder["attachments"]) << path;
    }
    return ours;
}

std::string verifyStore(const fs::path& pst, const std::map<std::string, fs::path>& sources,
                        std::set<std::string>* stored) {
    std::ostringstream problems;
    const Outcome check = runToEnd({cliPath(), "check", pst.string()});
    if (check.code != 0) {
        problems << "quillmark-cli check exit " << check.code << ":\n" << check.out << check.err;
    }
    for (const auto& e : validators::pffinfo(pst).errors) problems << "pffinfo: " << e << "\n";
    try {
        std::set<std::string> seen;
        for (const auto& [path, messages] : storedMessages(pst)) {
            for (const mapi::Message& m : messages) {
                // 8-bit subjects carry a Cyrillic tail after the key.
                std::string key = pst::read::readableSubject(m.props);
                key = key.substr(0, key.find(' '));
                const auto src = sources.find(key);
                if (!seen.insert(key).second) {
                    problems << "message " << key << " stored twice\n";
                } else if (src == sources.end()) {
                    problems << "message '" << key << "' has no source\n";
                } else {
                    auto expected = pst::storetest::withTrueFlags(msg::readMsgFile(src->second));
                    mapi::Message actual = m.clone();
                    pst::storetest::normalize(expected, actual);
                    const std::string diff = diffMessages(expected, actual);
                    if (!diff.empty())
                        problems << "message " << key << " differs: " << diff << "\n";
                }
            }
        }
        if (stored) *stored = std::move(seen);
    } catch (const std::exception& e) {
        problems << "our reader: " << e.what() << "\n";
    }
    return problems.str();
}

}  // namespace qm::testing
