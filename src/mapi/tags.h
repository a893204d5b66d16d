// Tags of the properties the program itself reads or writes. The full list of
// names for display is in propnames.h.
#pragma once

#include "mapi/property.h"

namespace qm::mapi::tag {

constexpr PropTag MessageClass = makeTag(0x001A, PT_UNICODE);
constexpr PropTag Subject = makeTag(0x0037, PT_UNICODE);
constexpr PropTag ClientSubmitTime = makeTag(0x0039, PT_SYSTIME);
constexpr PropTag SentRepresentingName = makeTag(0x0042, PT_UNICODE);
constexpr PropTag ConversationTopic = makeTag(0x0070, PT_UNICODE);
constexpr PropTag Importance = makeTag(0x0017, PT_LONG);
constexpr PropTag Sensitivity = makeTag(0x0036, PT_LONG);
constexpr PropTag Priority = makeTag(0x0026, PT_LONG);
constexpr PropTag MessageDeliveryTime = makeTag(0x0E06, PT_SYSTIME);
constexpr PropTag MessageFlags = makeTag(0x0E07, PT_LONG);
constexpr PropTag MessageSize = makeTag(0x0E08, PT_LONG);
constexpr PropTag MessageStatus = makeTag(0x0E17, PT_LONG);
constexpr PropTag DisplayTo = makeTag(0x0E04, PT_UNICODE);
constexpr PropTag DisplayCc = makeTag(0x0E03, PT_UNICODE);
constexpr PropTag DisplayBcc = makeTag(0x0E02, PT_UNICODE);
constexpr PropTag HasAttachments = makeTag(0x0E1B, PT_BOOLEAN);
constexpr PropTag Body = makeTag(0x1000, PT_UNICODE);
constexpr PropTag RtfCompressed = makeTag(0x1009, PT_BINARY);
constexpr PropTag Html = makeTag(0x1013, PT_BINARY);
constexpr PropTag InternetMessageId = makeTag(0x1035, PT_UNICODE);
constexpr PropTag DisplayName = makeTag(0x3001, PT_UNICODE);
constexpr PropTag AddressType = makeTag(0x3002, PT_UNICODE);
constexpr PropTag EmailAddress = makeTag(0x3003, PT_UNICODE);
constexpr PropTag CreationTime = makeTag(0x3007, PT_SYSTIME);
constexpr PropTag LastModificationTime = makeTag(0x3008, PT_SYSTIME);
constexpr PropTag RecipientType = makeTag(0x0C15, PT_LONG);
constexpr PropTag SenderName = makeTag(0x0C1A, PT_UNICODE);
constexpr PropTag SenderEmailAddress = makeTag(0x0C1F, PT_UNICODE);
constexpr PropTag RowId = makeTag(0x3000, PT_LONG);
constexpr PropTag AttachDataBinary = makeTag(0x3701, PT_BINARY);
constexpr PropTag AttachDataObject = makeTag(0x3701, PT_OBJECT);
constexpr PropTag AttachEncoding = makeTag(0x3702, PT_BINARY);
constexpr PropTag AttachExtension = makeTag(0x3703, PT_UNICODE);
constexpr PropTag AttachFilename = makeTag(0x3704, PT_UNICODE);
constexpr PropTag AttachMethod = makeTag(0x3705, PT_LONG);
constexpr PropTag AttachLongFilename = makeTag(0x3707, PT_UNICODE);
constexpr PropTag AttachPathname = makeTag(0x3708, PT_UNICODE);
constexpr PropTag AttachRendering = makeTag(0x3709, PT_BINARY);
constexpr PropTag AttachTag = makeTag(0x370A, PT_BINARY);
constexpr PropTag RenderingPosition = makeTag(0x370B, PT_LONG);
constexpr PropTag AttachMimeTag = makeTag(0x370E, PT_UNICODE);
constexpr PropTag AttachContentId = makeTag(0x3712, PT_UNICODE);
constexpr PropTag AttachFlags = makeTag(0x3714, PT_LONG);
constexpr PropTag AttachSize = makeTag(0x0E20, PT_LONG);
constexpr PropTag AttachNumber = makeTag(0x0E21, PT_LONG);
constexpr PropTag AttachmentHidden = makeTag(0x7FFE, PT_BOOLEAN);
constexpr PropTag InternetCodepage = makeTag(0x3FDE, PT_LONG);
constexpr PropTag MessageLocaleId = makeTag(0x3FF1, PT_LONG);
constexpr PropTag MessageCodepage = makeTag(0x3FFD, PT_LONG);
constexpr PropTag StoreSupportMask = makeTag(0x340D, PT_LONG);
constexpr PropTag ContainerClass = makeTag(0x3613, PT_UNICODE);
constexpr PropTag ContentCount = makeTag(0x3602, PT_LONG);
constexpr PropTag ContentUnreadCount = makeTag(0x3603, PT_LONG);
constexpr PropTag Subfolders = makeTag(0x360A, PT_BOOLEAN);

}  // namespace qm::mapi::tag

namespace qm::mapi {
// PidTagMessageFlags bits ([MS-OXCMSG] 2.2.1.6).
constexpr int32_t MSGFLAG_READ = 0x01;
constexpr int32_t MSGFLAG_UNMODIFIED = 0x02;
constexpr int32_t MSGFLAG_SUBMIT = 0x04;
constexpr int32_t MSGFLAG_UNSENT = 0x08;
constexpr int32_t MSGFLAG_HASATTACH = 0x10;
constexpr int32_t MSGFLAG_FROMME = 0x20;
constexpr int32_t MSGFLAG_ASSOCIATED = 0x40;
}  // namespace qm::mapi
