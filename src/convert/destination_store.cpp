#include "convert/destination_store.h"

namespace qm::convert {

DestinationStore CreateDestinationStore(const std::string& destination, outlook::Session& session,
                                        const LocalTime& now, const std::string& fileOverride) {
    const std::string timestamp = Timestamp(now);
    DestinationStore out;
    out.path = fileOverride.empty() ? destination + StoreFileName(timestamp) : fileOverride;
    out.displayName = StoreDisplayName(timestamp);
    out.store =
        session.GetStores()->AddPSTStore(out.path, outlook::kStoreFormatDefault, out.displayName);
    out.entryId = out.store->EntryID();
    return out;
}

}  // namespace qm::convert
