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
#include "pst/store/message_compare.h"
#include "support/message_gen.h"

namespace fs = std::filesystem;
namespace mapi = qm::mapi;
using qm::testing::MessageSpec;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: qm_make_samples DIR\n";
        return 2;
    }
    // The subject is set as Unicode; the 8-bit sample keeps the generator's.
    struct Sample {
        const char* path;
        const char* subject;
        MessageSpec spec;
    };
    const Sample samples[] = {
        {"Inbox/welcome.msg", "Welcome to Quillmark", {.seed = 1}},
        {"Inbox/photos.msg",
         "Photos from the trip (two attachments)",
         {.seed = 2, .recipients = 3, .attachmentSizes = {2048, 40000}}},
        {"Inbox/Forwarded/forward.msg",
         "Fw: a message inside a message",
         {.seed = 3, .embedDepth = 2}},
        {"Projects/2026/report.msg",
         "Quarterly report (HTML body)",
         {.seed = 4, .namedById = 3, .namedByName = 2, .htmlBody = true}},
        {"Projects/2026/notes.msg", "Notes in RTF", {.seed = 5, .rtfBody = true}},
        {"Projects/legacy-ansi.msg", "", {.seed = 6, .unicode = false}},
        {"Projects/every-type.msg",
         "Every property type",
         {.seed = 7, .allTypes = true, .oleAttachment = true}},
    };
    for (const auto& s : samples) {
        mapi::Message m = qm::testing::makeMessage(s.spec);
        if (s.spec.unicode) m.props.set(mapi::Property::utf8(mapi::tag::Subject, s.subject));
        // Outlook keeps MSGFLAG_HASATTACH true at every level of a message,
        // embedded ones included; the generator leaves flags as its spec says.
        m = qm::pst::storetest::withTrueFlags(std::move(m));
        const fs::path p = fs::path(argv[1]) / s.path;
        fs::create_directories(p.parent_path());
        std::error_code ec;
        fs::remove(p, ec);
        qm::msg::writeMsgFile(m, p);
        std::cout << p.string() << "\n";
    }
    return 0;
}
