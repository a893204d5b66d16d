#include "outlook/application.h"

#include "outlook/automation_error.h"
#include "outlook/profile.h"

namespace qm::outlook {

std::shared_ptr<Folders> Namespace::GetFolders() const {
    return Folders::ForProfile(Profile::instance());
}

std::shared_ptr<Namespace> Application::GetNamespace(const std::string& type) const {
    if (type != "MAPI") {
        throw AutomationError(kMapiInvalidParameter,
                              "GetNamespace: \"" + type + "\" is not a namespace; use \"MAPI\"");
    }
    return std::make_shared<Namespace>();
}

FolderRef OpenMAPIFolder(std::string path) {
    FolderRef current;
    auto app = std::make_shared<Application>();
    if (!path.empty() && path[0] == '\\') {
        path.erase(0, 1);
    } else {
        auto explorer = app->ActiveExplorer();
        if (!explorer) {
            throw AutomationError(kErrNoObject,
                                  "Object variable not set: the profile has no explorer window, "
                                  "so the relative folder path \"" +
                                      path + "\" has no starting folder");
        }
        current = explorer->CurrentFolder();
    }
    while (!path.empty()) {
        std::string name;
        const size_t p = path.find('\\');
        if (p != std::string::npos) {
            name = path.substr(0, p);
            path.erase(0, p + 1);
        } else {
            name = std::move(path);
            path.clear();
        }
        if (!current) {
            current = app->GetNamespace("MAPI")->GetFolders()->Item(name);
        } else {
            current = current->GetFolders()->Item(name);
        }
    }
    return current;
}

}  // namespace qm::outlook
