// Writes the sample .msg files of samples/ with our own MSG writer: a handful
// of varied messages in a small folder tree, so the first command of the
// README shows folder mirroring, attachments, embedded messages, 8-bit
// strings and HTML and RTF bodies.
//
//   qm_make_samples DIR      (DIR is created; existing files are replaced)
#include <deque>
#include <filesystem>
#include <iostream>

#include "mapi/tags.h"
#include "msg/msg.h"
#include "support/message_gen.h"

namespace {

namespace fs = std::filesystem;
namespace mapi = qm::mapi;
using qm::testing::MessageSpec;

// Outlook keeps MSGFLAG_HASATTACH true at every level of a message, embedded
// ones included; the generator leaves flags as its MessageSpec says.
void setAttachFlags(mapi::Message& m) {
    const int32_t flags = m.props.int32(mapi::tag::MessageFlags).value_or(0);
    const int32_t attach = m.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH;
    m.props.set(mapi::Property::int32(mapi::tag::MessageFlags,
                                      (flags & ~mapi::MSGFLAG_HASATTACH) | attach));
    for (auto& a : m.attachments) {
        if (a.embedded) setAttachFlags(*a.embedded);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: qm_make_samples DIR\n";
        return 2;
    }
    // Each sample's seed is its place in the list. The subject is set as
    // Unicode; the 8-bit sample keeps the generator's.
    struct Sample {
        const char* path;
        const char* subject;
        MessageSpec spec;
    };
    std::deque<Sample> samples;
    auto add = [&](const char* path, const char* subject) -> MessageSpec& {
        samples.push_back({path, subject, {}});
        samples.back().spec.seed = uint32_t(samples.size());
        return samples.back().spec;
    };
    add("Inbox/welcome.msg", "Welcome to Quillmark");
    MessageSpec& photos = add("Inbox/photos.msg", "Photos from the trip (two attachments)");
    photos.attachmentSizes = {2048, 40000};
    photos.recipients = 3;
    add("Inbox/Forwarded/forward.msg", "Fw: a message inside a message").embedDepth = 2;
    MessageSpec& report = add("Projects/2026/report.msg", "Quarterly report (HTML body)");
    report.htmlBody = true;
    report.namedById = 3;
    report.namedByName = 2;
    add("Projects/2026/notes.msg", "Notes in RTF").rtfBody = true;
    add("Projects/legacy-ansi.msg", "").unicode = false;
    MessageSpec& every = add("Projects/every-type.msg", "Every property type");
    every.allTypes = true;
    every.oleAttachment = true;
    for (const auto& s : samples) {
        mapi::Message m = qm::testing::makeMessage(s.spec);
        if (s.spec.unicode) m.props.set(mapi::Property::utf8(mapi::tag::Subject, s.subject));
        setAttachFlags(m);
        const fs::path p = fs::path(argv[1]) / s.path;
        fs::create_directories(p.parent_path());
        std::error_code ec;
        fs::remove(p, ec);
        qm::msg::writeMsgFile(m, p);
        std::cout << p.string() << "\n";
    }
    return 0;
}
