// quillmark-cli list [--messages] FILE.pst: the store's display name, then
// the folder tree under the top of the store, two spaces per level, each
// folder as "name (N)" with N the messages in its contents table; with
// --messages each folder's subjects follow it, one level deeper.
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "cli/commands.h"
#include "mapi/error.h"
#include "mapi/message.h"
#include "pst/read/pst_file.h"

namespace qm::cli {
namespace {

// A folder tree deeper than this is a damaged or hostile file.
constexpr int kMaxFolderDepth = 256;

void listFolder(const pst::read::PstFile& pst, pst::read::Nid folder, int level, bool messages,
                std::ostream& out) {
    if (level > kMaxFolderDepth)
        throw FormatError(pst.path(), "folder " + pst::read::hex(folder), -1,
                          "folder tree nested too deep");
    for (const auto& child : pst.childFolders(folder)) {
        auto nids = pst.messageNids(child.nid);
        out << std::string(2 * level, ' ') << child.name << " (" << nids.size() << ")\n";
        if (messages) {
            for (auto nid : nids) {
                // Only the subject is decoded: bodies and attachments stay unread.
                // An 8-bit subject needs the message's code page properties.
                auto pc = pst.propertyContext(nid);
                mapi::Message m;
                for (const auto& e : pc->entries())
                    if (e.id == 0x0037 || e.id == 0x3FFD || e.id == 0x3FF1 || e.id == 0x3FDE)
                        m.props.set(pc->property(e));
                out << std::string(2 * (level + 1), ' ')
                    << pst::read::readableSubject(m.props, m.stringCodePage()) << "\n";
            }
        }
        listFolder(pst, child.nid, level + 1, messages, out);
    }
}

}  // namespace

void addListCommand(CLI::App& app, Action& action) {
    auto* cmd = app.add_subcommand(
        "list", "Print a .pst's display name and folder tree (name and message count)");
    auto file = std::make_shared<std::string>();
    auto messages = std::make_shared<bool>(false);
    cmd->add_flag("--messages", *messages, "List the subject of each message under its folder");
    cmd->add_option("FILE.pst", *file, "The .pst file")->required();
    cmd->callback([&action, file, messages] {
        action = [file, messages] {
            try {
                auto pst = pst::read::PstFile::open(*file);
                // Build the whole listing first so a damaged file prints an
                // error, not half a tree.
                std::ostringstream out;
                out << pst->displayName() << "\n";
                listFolder(*pst, pst->ipmSubtree(), 1, *messages, out);
                std::cout << out.str();
                return 0;
            } catch (const Error& e) {
                std::cerr << "quillmark-cli list: " << e.what() << "\n";
                return 2;
            }
        };
    });
}

}  // namespace qm::cli
