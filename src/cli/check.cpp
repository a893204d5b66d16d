// quillmark-cli check FILE.pst: every invariant our writer relies on.
// Exit 0 clean; 1 findings, one per line ("where: what") on stdout; 2 the
// file is not a readable Unicode PST (the reason on stderr).
#include <iostream>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "mapi/error.h"
#include "pst/read/checker.h"

namespace qm::cli {

void addCheckCommand(CLI::App& app, Action& action) {
    auto* cmd = app.add_subcommand("check", "Check a .pst file's structure strictly");
    auto file = std::make_shared<std::string>();
    cmd->add_option("FILE.pst", *file, "The .pst file")->required();
    cmd->callback([&action, file] {
        action = [file] {
            try {
                pst::read::CheckReport report = pst::read::checkFile(*file);
                for (const auto& note : report.notes) std::cerr << "note: " << note << "\n";
                for (const auto& f : report.findings) std::cout << f.line() << "\n";
                return report.clean() ? 0 : 1;
            } catch (const Error& e) {
                std::cerr << "quillmark-cli check: " << e.what() << "\n";
                return 2;
            }
        };
    });
}

}  // namespace qm::cli
