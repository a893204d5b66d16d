#include "outlook/mail_item.h"

#include <exception>
#include <filesystem>
#include <system_error>

#include "msg/msg.h"
#include "outlook/automation_error.h"
#include "outlook/message_prefetch.h"

namespace qm::outlook {

MailItem::MailItem(StoreRef store, pst::Nid folder)
    : store_(std::move(store)), folder_(folder), object_(std::make_shared<MessageObject>()) {}

void MailItem::Import(const std::string& path, int type) {
    if (type != kImportTypeMsg) {
        throw AutomationError(kMapiInvalidParameter, "import type " + std::to_string(type) +
                                                         " is not supported; only 3 (.msg) is");
    }
    // Only regular files (or links to them): a FIFO or a device would block
    // or never end.
    std::error_code ec;
    const auto kind = std::filesystem::status(std::filesystem::path(path), ec).type();
    if (kind != std::filesystem::file_type::regular) {
        discarded_ = true;
        throw AutomationError(
            kind == std::filesystem::file_type::not_found ? kMapiNotFound : kMapiNoAccess,
            path + (kind == std::filesystem::file_type::not_found ? ": no such file"
                                                                  : ": not a regular file"));
    }
    try {
        // Read ahead on the command line's worker thread, or here.
        if (auto ahead = MessagePrefetch::take(path)) {
            object_->message = std::move(*ahead);
        } else {
            object_->message = msg::readMsgFile(std::filesystem::path(path));
        }
    } catch (const qm::IoError& e) {
        discarded_ = true;
        throw AutomationError(kMapiNotFound, e.what());
    } catch (const qm::Error& e) {
        discarded_ = true;
        throw AutomationError(kMapiCorruptData, e.what());
    } catch (const std::bad_alloc&) {
        discarded_ = true;
        throw AutomationError(kMapiCallFailed, path + ": not enough memory to read the message");
    }
}

void MailItem::Save() {
    if (discarded_) {
        throw AutomationError(kMapiCallFailed,
                              "the item was discarded after a failed import; nothing to save");
    }
    if (saved_) {
        throw AutomationError(kMapiCallFailed, "the item has already been saved");
    }
    pst::Store& store = store_->store();
    try {
        store.addMessage(folder_, object_->message);
    } catch (const qm::Error& e) {
        throw AutomationError(kMapiCallFailed, std::string("Save: ") + e.what());
    }
    saved_ = true;
}

void MAPIUtils::HrSetOneProp(const MapiObject& object, uint32_t tag, int32_t value, bool save) {
    (void)save;
    if (!object) {
        throw AutomationError(kErrNoObject, "HrSetOneProp: the MAPI object is empty");
    }
    switch (mapi::propType(tag)) {
        case mapi::PT_LONG:
            object->message.props.set(mapi::Property::int32(tag, value));
            break;
        case mapi::PT_SHORT:
            object->message.props.set(mapi::Property::int16(tag, static_cast<int16_t>(value)));
            break;
        case mapi::PT_BOOLEAN:
            object->message.props.set(mapi::Property::boolean(tag, value != 0));
            break;
        default:
            throw AutomationError(kMapiInvalidParameter, "HrSetOneProp: property type of tag " +
                                                             FormatErrorNumber(int32_t(tag)) +
                                                             " does not take an integer");
    }
}

}  // namespace qm::outlook
