// Placeholder: replaced when the check command lands.
#include <iostream>

#include "cli/commands.h"

namespace qm::cli {

void addCheckCommand(CLI::App& app, Action& action) {
    auto* cmd = app.add_subcommand("check", "not available yet");
    cmd->allow_extras();
    cmd->callback([&action] {
        action = [] {
            std::cerr << "quillmark-cli check: not available yet\n";
            return 2;
        };
    });
}

}  // namespace qm::cli
