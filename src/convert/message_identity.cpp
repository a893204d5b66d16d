#include "convert/message_identity.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "mapi/bytes.h"
#include "mapi/tags.h"

namespace qm::convert {
namespace {

// Every field goes in as a one-byte label and a length: neither the
// boundaries between fields nor a field that is missing can make two
// different messages hash alike.
class Canonical {
  public:
    void field(uint8_t label, std::span<const uint8_t> value) {
        Bytes head{label};
        appendLE64(head, value.size());
        sha_.update(head);
        sha_.update(value);
    }
    void text(uint8_t label, const mapi::PropertyBag& props, uint16_t id) {
        const auto value = props.string(id);
        if (!value) return field(label, {});
        field(label, {reinterpret_cast<const uint8_t*>(value->data()), value->size()});
    }
    void raw(uint8_t label, const mapi::PropertyBag& props, uint16_t id) {
        const mapi::Property* p = props.findId(id);
        if (!p || !p->stream) return field(label, p ? p->bytes() : Bytes{});
        // A streamed value (a big attachment) is hashed a piece at a time,
        // never held whole.
        const uint64_t size = p->stream->size();
        Bytes head{label};
        appendLE64(head, size);
        sha_.update(head);
        Bytes piece(std::min<uint64_t>(size, 1 << 20));
        for (uint64_t at = 0; at < size; at += piece.size()) {
            const auto n = size_t(std::min<uint64_t>(piece.size(), size - at));
            p->stream->read(at, {piece.data(), n});
            sha_.update({piece.data(), n});
        }
    }
    Digest finish() { return sha_.finish(); }

  private:
    Sha256 sha_;
};

std::string trimmed(std::string s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

Digest contentIdentity(const mapi::Message& m) {
    using mapi::propId;
    Canonical c;
    c.field('C', {});  // the kind: content, not a message id
    c.text('c', m.props, propId(mapi::tag::MessageClass));
    c.text('s', m.props, propId(mapi::tag::Subject));
    c.text('n', m.props, propId(mapi::tag::SenderName));
    c.text('e', m.props, propId(mapi::tag::SenderEmailAddress));
    c.raw('t', m.props, propId(mapi::tag::ClientSubmitTime));
    c.raw('d', m.props, propId(mapi::tag::MessageDeliveryTime));
    c.text('b', m.props, propId(mapi::tag::Body));
    c.raw('h', m.props, propId(mapi::tag::Html));
    c.raw('r', m.props, propId(mapi::tag::RtfCompressed));
    for (const auto& r : m.recipients) {
        c.raw('k', r.props, 0x0C15);  // PidTagRecipientType
        c.text('N', r.props, propId(mapi::tag::DisplayName));
        c.text('E', r.props, propId(mapi::tag::EmailAddress));
    }
    for (const auto& a : m.attachments) {
        c.text('f', a.props, propId(mapi::tag::AttachFilename));
        c.text('F', a.props, propId(mapi::tag::AttachLongFilename));
        if (a.embedded) {
            const Digest inner = contentIdentity(*a.embedded);
            c.field('M', inner);
        } else {
            // PidTagAttachDataBinary, or PidTagAttachDataObject for OLE: one id.
            c.raw('D', a.props, propId(mapi::tag::AttachDataBinary));
        }
    }
    return c.finish();
}

}  // namespace

Digest MessageIdentity(const mapi::Message& message) {
    std::string id = trimmed(
        message.props.string(mapi::propId(mapi::tag::InternetMessageId)).value_or(std::string()));
    if (id.empty()) return contentIdentity(message);
    Canonical c;
    c.field('I', {reinterpret_cast<const uint8_t*>(id.data()), id.size()});
    return c.finish();
}

}  // namespace qm::convert
