#include "run_fixture.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "mapi/tags.h"
#include "msg/msg.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"
#include "support/message_gen.h"
#include "support/validators.h"

namespace qm::testing {

mapi::Message testMessage(const std::string& subject, size_t attachments, int32_t flags) {
    MessageSpec spec;
    spec.subject = subject;
    spec.seed = static_cast<uint32_t>(std::hash<std::string>{}(subject));
    for (size_t i = 0; i < attachments; ++i) spec.attachmentSizes.push_back(100 + i);
    mapi::Message m = makeMessage(spec);
    m.props.set(mapi::Property::utf8(mapi::tag::Subject, subject));
    if (flags != 0) {
        m.props.set(mapi::Property::int32(mapi::tag::MessageFlags, flags));
    } else {
        m.props.erase(mapi::tag::MessageFlags);
    }
    return m;
}

void writeMessage(const std::filesystem::path& path, const mapi::Message& message) {
    std::filesystem::create_directories(path.parent_path());
    msg::writeMsgFile(message, path);
}

void writeBroken(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << "this is not a compound file, only text\n";
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int runCommand(const std::string& command, std::string* out) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string sourceDir() {
    const char* env = std::getenv("QM_SOURCE_DIR");
    return env && *env ? env : QM_DEFAULT_SOURCE_DIR;
}

std::string binDir() {
    const char* env = std::getenv("QM_BIN_DIR");
    return env && *env ? env : QM_DEFAULT_BIN_DIR;
}

nlohmann::json dumpPst(const std::string& kind, const std::filesystem::path& pst) {
    const std::string script = sourceDir() + "/tests/convert/pst_dump.py";
    std::string out;
    const int rc = runCommand(
        "/usr/bin/python3 " + shellQuote(script) + " " + kind + " " + shellQuote(pst.string()),
        &out);
    if (rc != 0) return nlohmann::json();
    return nlohmann::json::parse(out, nullptr, false);
}

namespace {

void walk(const pst::read::PstFile& file, pst::read::Nid folder, const std::string& path,
          nlohmann::json& out) {
    nlohmann::json subjects = nlohmann::json::array(), flags = nlohmann::json::array(),
                   attachments = nlohmann::json::array(), string8 = nlohmann::json::array();
    for (pst::read::Nid m : file.messageNids(folder)) {
        const mapi::Message msg = file.readMessage(m);
        // 8-bit subjects in the message's own code page, as Outlook reads
        // them; the prefix-length marker ([MS-PST] 2.5) removed.
        std::string subject = msg.props.string(0x0037, msg.stringCodePage()).value_or("");
        if (subject.size() >= 2 && subject[0] == '\x01') subject.erase(0, 2);
        subjects.push_back(subject);
        string8.push_back(msg.props.find(mapi::makeTag(0x0037, mapi::PT_STRING8)) != nullptr);
        const auto f = msg.props.int32(mapi::tag::MessageFlags);
        flags.push_back(f ? nlohmann::json(*f) : nlohmann::json(nullptr));
        attachments.push_back(msg.attachments.size());
    }
    out[path] = {{"subjects", subjects},
                 {"flags", flags},
                 {"attachments", attachments},
                 {"string8", string8}};
    for (const auto& child : file.childFolders(folder)) {
        walk(file, child.nid, path.empty() ? child.name : path + "\\" + child.name, out);
    }
}

}  // namespace

nlohmann::json readBack(const std::filesystem::path& pst) {
    auto file = pst::read::PstFile::open(pst);
    nlohmann::json folders = nlohmann::json::object();
    walk(*file, file->ipmSubtree(), "", folders);
    return {{"display_name", file->displayName()}, {"folders", folders}};
}

std::string checkFindings(const std::filesystem::path& pst) {
    std::string out;
    for (const auto& f : pst::read::checkFile(pst).findings) out += f.line() + "\n";
    return out;
}

nlohmann::json readEverywhere(const std::filesystem::path& pst, bool allNotes) {
    nlohmann::json ours;
    try {
        ours = readBack(pst);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "our reader: " << e.what();
        return nlohmann::json();
    }
    EXPECT_EQ(checkFindings(pst), "") << pst;
    qm::testing::validators::expectAllRead(pst);
    const nlohmann::json pypff = dumpPst("pypff", pst);
    const nlohmann::json readpst = dumpPst("readpst", pst);
    EXPECT_TRUE(pypff.is_object()) << "pypff could not read " << pst;
    EXPECT_TRUE(readpst.is_object()) << "readpst could not read " << pst;
    if (!pypff.is_object() || !readpst.is_object()) return ours;
    EXPECT_EQ(pypff["display_name"], ours["display_name"]);
    EXPECT_EQ(pypff["folders"].size(), ours["folders"].size()) << "folders of " << pst;
    for (const auto& [path, folder] : ours["folders"].items()) {
        const auto& theirs = pypff["folders"].value(path, nlohmann::json::object());
        EXPECT_EQ(theirs.value("flags", nlohmann::json()), folder["flags"]) << "pypff, " << path;
        EXPECT_EQ(theirs.value("attachments", nlohmann::json()), folder["attachments"]) << path;
        const auto subjects = theirs.value("subjects", nlohmann::json::array());
        if (subjects.size() != folder["subjects"].size()) {
            ADD_FAILURE() << "pypff and our reader count different messages in " << path;
            continue;
        }
        // pypff decodes 8-bit strings in one code page for the whole file;
        // only Unicode subjects must agree to the character.
        for (size_t i = 0; i < subjects.size(); ++i) {
            if (!folder["string8"][i]) {
                EXPECT_EQ(subjects[i], folder["subjects"][i]) << path;
            }
        }
        // readpst writes one file per message (IPM.Note) per folder, and
        // only some message classes.
        const int count = readpst["folders"].value(path, -1);
        if (folder["subjects"].empty()) continue;
        if (allNotes) {
            EXPECT_EQ(count, int(folder["subjects"].size())) << "readpst, folder " << path;
        } else {
            EXPECT_TRUE(count >= 0 && count <= int(folder["subjects"].size()))
                << "readpst, folder " << path << ": " << count;
        }
    }
    return ours;
}

}  // namespace qm::testing
