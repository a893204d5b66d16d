// Placeholder: replaced when the list command lands.
#include <iostream>

#include "cli/commands.h"

namespace qm::cli {

void addListCommand(CLI::App& app, Action& action) {
    auto* cmd = app.add_subcommand("list", "not available yet");
    cmd->allow_extras();
    cmd->callback([&action] {
        action = [] {
            std::cerr << "quillmark-cli list: not available yet\n";
            return 2;
        };
    });
}

}  // namespace qm::cli
