// Writes the sample .msg files of samples/ with our own MSG writer: a handful
// of varied messages in a small folder tree, so the first command of the
// README shows folder mirroring, attachments, embedded messages, 8-bit
// strings and HTML and RTF bodies.
//
//   qm_make_samples DIR      (DIR is created; existing files are replaced)
#include <filesystem>
#include <iostream>

#include "mapi/tags.h"
#include "msg/msg.h"
#include "support/message_gen.h"

namespace {

using qm::testing::MessageSpec;
namespace fs = std::filesystem;

struct Sample {
    const char* path;
    const char* subject;
    MessageSpec spec;
};

// Outlook keeps MSGFLAG_HASATTACH true at every level of a message, embedded
// ones included; the generator leaves flags as its spec says.
void setAttachFlags(qm::mapi::Message& m) {
    const int32_t flags = m.props.int32(qm::mapi::tag::MessageFlags).value_or(0);
    const int32_t attach = m.attachments.empty() ? 0 : qm::mapi::MSGFLAG_HASATTACH;
    m.props.set(qm::mapi::Property::int32(qm::mapi::tag::MessageFlags,
                                          (flags & ~qm::mapi::MSGFLAG_HASATTACH) | attach));
    for (auto& a : m.attachments) {
        if (a.embedded) setAttachFlags(*a.embedded);
    }
}

MessageSpec spec(uint32_t seed) {
    MessageSpec s;
    s.seed = seed;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: qm_make_samples DIR\n";
        return 2;
    }
    const fs::path dir = argv[1];
    std::vector<Sample> samples;
    {
        Sample s{"Inbox/welcome.msg", "Welcome to Quillmark", spec(1)};
        samples.push_back(s);
    }
    {
        Sample s{"Inbox/photos.msg", "Photos from the trip (two attachments)", spec(2)};
        s.spec.attachmentSizes = {2048, 40000};
        s.spec.recipients = 3;
        samples.push_back(s);
    }
    {
        Sample s{"Inbox/Forwarded/forward.msg", "Fw: a message inside a message", spec(3)};
        s.spec.embedDepth = 2;
        samples.push_back(s);
    }
    {
        Sample s{"Projects/2026/report.msg", "Quarterly report (HTML body)", spec(4)};
        s.spec.htmlBody = true;
        s.spec.namedById = 3;
        s.spec.namedByName = 2;
        samples.push_back(s);
    }
    {
        Sample s{"Projects/2026/notes.msg", "Notes in RTF", spec(5)};
        s.spec.rtfBody = true;
        samples.push_back(s);
    }
    {
        Sample s{"Projects/legacy-ansi.msg", "An 8-bit message (code page 1251)", spec(6)};
        s.spec.unicode = false;
        samples.push_back(s);
    }
    {
        Sample s{"Projects/every-type.msg", "Every property type", spec(7)};
        s.spec.allTypes = true;
        s.spec.oleAttachment = true;
        samples.push_back(s);
    }
    for (auto& s : samples) {
        qm::mapi::Message m = qm::testing::makeMessage(s.spec);
        if (s.spec.unicode) {
            m.props.set(qm::mapi::Property::utf8(qm::mapi::tag::Subject, s.subject));
        }
        setAttachFlags(m);
        const fs::path p = dir / s.path;
        fs::create_directories(p.parent_path());
        std::error_code ec;
        fs::remove(p, ec);
        qm::msg::writeMsgFile(m, p);
        std::cout << p.string() << "\n";
    }
    return 0;
}
