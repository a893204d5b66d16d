// A new mail item: created empty in a folder by Items::Add, filled from a
// .msg file by Import, written to the store by Save (once). A failed Import
// discards the item: Save then fails, so no empty message reaches the store.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mapi/message.h"
#include "outlook/profile.h"

namespace qm::outlook {

// Save-as type 3 (olMSG): a Unicode or ANSI .msg file.
inline constexpr int kImportTypeMsg = 3;

// The item's underlying MAPI object, as HrSetOneProp receives it.
struct MessageObject {
    mapi::Message message;
};
using MapiObject = std::shared_ptr<MessageObject>;

class MailItem {
  public:
    MailItem(StoreRef store, pst::Nid folder);

    // Reads the file at exactly this path (no trimming) and replaces the
    // item's contents with it. Throws AutomationError naming the file and the
    // defect; the item is then discarded.
    void Import(const std::string& path, int type);
    MapiObject MAPIOBJECT() const { return object_; }
    // Attachments of the imported message.
    size_t AttachmentCount() const { return object_->message.attachments.size(); }
    // Writes the item into its folder. Throws AutomationError for a discarded
    // item, an item already saved, a closed store, or a store that refuses it.
    void Save();

    bool discarded() const { return discarded_; }
    bool saved() const { return saved_; }

  private:
    StoreRef store_;
    pst::Nid folder_;
    MapiObject object_;
    bool discarded_ = false;
    bool saved_ = false;
};

// The utility object of the automation surface.
class MAPIUtils {
  public:
    // Sets one property on the object: PT_LONG, PT_SHORT and PT_BOOLEAN tags
    // take `value`. Our items are written whole by Save, so `save` asks for
    // nothing more than the value being kept. Throws AutomationError for an
    // empty object or another property type.
    void HrSetOneProp(const MapiObject& object, uint32_t tag, int32_t value, bool save);
};

}  // namespace qm::outlook
