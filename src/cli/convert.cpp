// Placeholder: replaced when the convert command lands.
#include <iostream>

#include "cli/commands.h"

namespace qm::cli {

void addConvertCommand(CLI::App& app, Action& action) {
    auto* cmd = app.add_subcommand("convert", "not available yet");
    cmd->allow_extras();
    cmd->callback([&action] {
        action = [] {
            std::cerr << "quillmark-cli convert: not available yet\n";
            return 2;
        };
    });
}

}  // namespace qm::cli
