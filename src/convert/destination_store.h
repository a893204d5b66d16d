// The run's new store: its file "OutlookMessages<ts>.pst" in the destination
// folder and its display name "Quillmark : Created - <ts>".
#pragma once

#include <memory>
#include <string>

#include "convert/timestamp.h"
#include "outlook/session.h"

namespace qm::convert {

struct DestinationStore {
    std::shared_ptr<outlook::Store> store;
    std::string entryId;
    std::string path;
    std::string displayName;
};

// REQUIRES: `destination` ends with the platform separator; session logged
// on. `fileOverride`, when not empty, names the file instead (the command
// line's -o). Throws AutomationError when the store cannot be added,
// including when the file already exists.
DestinationStore CreateDestinationStore(const std::string& destination, outlook::Session& session,
                                        const LocalTime& now, const std::string& fileOverride = {});

}  // namespace qm::convert
