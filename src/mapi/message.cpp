#include "mapi/message.h"

#include "mapi/codepage.h"
#include "mapi/tags.h"

namespace qm::mapi {

Attachment Attachment::clone() const {
    Attachment a;
    a.props = props;
    if (embedded) a.embedded = std::make_unique<Message>(embedded->clone());
    return a;
}

int32_t Attachment::method() const {
    return props.int32(tag::AttachMethod).value_or(ATTACH_NO_ATTACHMENT);
}

Message Message::clone() const {
    Message m;
    m.props = props;
    m.recipients = recipients;
    m.warnings = warnings;
    m.attachments.reserve(attachments.size());
    for (const auto& a : attachments) m.attachments.push_back(a.clone());
    return m;
}

int Message::stringCodePage() const {
    if (auto cp = props.int32(tag::MessageCodepage); cp && *cp > 0) return *cp;
    if (auto lcid = props.int32(tag::MessageLocaleId)) {
        if (auto cp = codePageForLocale(uint32_t(*lcid))) return *cp;
    }
    if (auto cp = props.int32(tag::InternetCodepage); cp && *cp > 0) return *cp;
    return 1252;
}

}  // namespace qm::mapi
