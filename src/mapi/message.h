// The message model every layer shares: what a .msg holds and what a .pst
// message object receives.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mapi/property.h"

namespace qm::mapi {

// PidTagAttachMethod values ([MS-OXCMSG] 2.2.2.9).
enum AttachMethod : int32_t {
    ATTACH_NO_ATTACHMENT = 0,
    ATTACH_BY_VALUE = 1,
    ATTACH_BY_REFERENCE = 2,
    ATTACH_BY_REF_ONLY = 4,
    ATTACH_EMBEDDED_MSG = 5,
    ATTACH_OLE = 6,
    ATTACH_BY_WEB_REFERENCE = 7,
};

struct Message;

struct Recipient {
    PropertyBag props;
};

// By value: PidTagAttachDataBinary in props (possibly streamed).
// Embedded message: `embedded` is set; PidTagAttachDataObject is not in props.
// OLE storage: PidTagAttachDataObject (PT_OBJECT) holds the storage as a
// standalone compound file.
struct Attachment {
    PropertyBag props;
    std::unique_ptr<Message> embedded;

    Attachment() = default;
    Attachment(Attachment&&) noexcept = default;
    Attachment& operator=(Attachment&&) noexcept = default;
    Attachment clone() const;
    int32_t method() const;
};

struct Message {
    PropertyBag props;
    std::vector<Recipient> recipients;
    std::vector<Attachment> attachments;
    // What reading this message dropped or repaired (damaged input), one
    // plain sentence each. Reported to the user, never stored.
    std::vector<std::string> warnings;

    Message() = default;
    Message(Message&&) noexcept = default;
    Message& operator=(Message&&) noexcept = default;
    Message clone() const;

    // The code page the message itself names for its PT_STRING8 values:
    // PidTagMessageCodepage, else the ANSI code page of
    // PidTagMessageLocaleId, else the charset of the Content-Type in
    // PidTagTransportMessageHeaders; nullopt when none of them says.
    // PidTagInternetCodepage is not among them: it is the charset of the
    // MIME body, and decodes an 8-bit PidTagBody only (see decodeString8).
    std::optional<int> declaredCodePage() const;
    // declaredCodePage(), else `fallback` (the run's, or for an embedded
    // message the code page of the message it is embedded in).
    int stringCodePage(int fallback = 1252) const;
};

}  // namespace qm::mapi
