// quillmark-cli: each sub-command lives in its own file and registers itself
// here. A command's callback returns the process exit code.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace qm::cli {

// Set by a command's parse callback; main() runs it after parsing.
using Action = std::function<int()>;

void addShowCommand(CLI::App& app, Action& action);
void addCheckCommand(CLI::App& app, Action& action);
void addListCommand(CLI::App& app, Action& action);
void addConvertCommand(CLI::App& app, Action& action);
void addExportCommand(CLI::App& app, Action& action);

}  // namespace qm::cli
