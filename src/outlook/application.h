// The Outlook-style application object over the in-process profile, and the
// folder opener that walks a backslash path through it.
//
// There is no explorer window: ActiveExplorer is empty, so a relative path
// (one that does not begin with a backslash) fails with error 91, as Outlook
// does when it has no explorer.
#pragma once

#include <memory>
#include <string>

#include "outlook/folder.h"

namespace qm::outlook {

class Namespace {
  public:
    // The profile's top-level folders: the top of each attached store, named
    // by the store's display name.
    std::shared_ptr<Folders> GetFolders() const;
};

class Explorer {
  public:
    FolderRef CurrentFolder() const { return current_; }

  private:
    FolderRef current_;
};

class Application {
  public:
    // Only "MAPI"; anything else throws AutomationError.
    std::shared_ptr<Namespace> GetNamespace(const std::string& type) const;
    // Always empty: the profile has no window.
    std::shared_ptr<Explorer> ActiveExplorer() const { return nullptr; }
};

// "\Store\a\b" -> folder b under a under the top-level folder Store; one
// trailing backslash is ignored; "\" alone gives null without looking up any
// folder. An empty component is looked up by the empty name (and fails).
// Throws AutomationError for a relative path (no explorer) and for any
// component that does not exist; the result is then never a partly walked
// folder.
FolderRef OpenMAPIFolder(std::string path);

}  // namespace qm::outlook
