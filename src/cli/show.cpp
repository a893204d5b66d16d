// Placeholder: replaced when the show command lands.
#include <iostream>

#include "cli/commands.h"

namespace qm::cli {

void addShowCommand(CLI::App& app, Action& action) {
    auto* cmd = app.add_subcommand("show", "not available yet");
    cmd->allow_extras();
    cmd->callback([&action] {
        action = [] {
            std::cerr << "quillmark-cli show: not available yet\n";
            return 2;
        };
    });
}

}  // namespace qm::cli
