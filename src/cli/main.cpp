#include <iostream>

#include "cli/commands.h"
#include "mapi/error.h"

int main(int argc, char** argv) {
    CLI::App app{"quillmark-cli: convert Outlook .msg files into a .pst, and inspect both"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "quillmark-cli " QM_VERSION);
    qm::cli::Action action;
    qm::cli::addConvertCommand(app, action);
    qm::cli::addCheckCommand(app, action);
    qm::cli::addListCommand(app, action);
    qm::cli::addShowCommand(app, action);
    qm::cli::addExportCommand(app, action);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        // Usage errors share exit code 2 with the other "nothing done" cases.
        return rc == 0 ? 0 : 2;
    }
    try {
        return action ? action() : 2;
    } catch (const qm::Error& e) {
        std::cerr << "quillmark-cli: " << e.what() << "\n";
        return 2;
    }
}
