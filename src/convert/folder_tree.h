// Creates the store folders of the folder list, each after its parent:
// top-level folders through the store's IPM root (unless one of that name,
// compared as folder names are, is there already), nested ones under a parent
// opened by path through the folder opener. Runs in skip mode: a folder that
// cannot be made is passed over (its messages then fail to import and are
// counted).
#pragma once

#include <string>

#include "convert/host.h"
#include "convert/run_report.h"
#include "convert/string_list.h"
#include "outlook/session.h"

namespace qm::convert {

// Stops early when the host asks to stop. Counts created folders and records
// folders that failed (other than a name already present) in `report`.
void CreateFolderTree(Host& host, const StringList& list, const std::string& displayName,
                      const std::string& entryId, outlook::Session& session, RunReport& report);

}  // namespace qm::convert
