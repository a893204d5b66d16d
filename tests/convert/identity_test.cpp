// The digest behind --dedupe: SHA-256 against the FIPS 180-4 examples, and
// which differences between two messages make them different messages.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "convert/message_identity.h"
#include "mapi/tags.h"

namespace qm::convert {
namespace {

namespace tag = mapi::tag;
using mapi::Property;
using Change = std::function<void(mapi::Message&)>;

TEST(Sha256, KnownDigestsWhateverTheChunking) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
    for (const auto& [text, digest] : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(text.data());
        for (const size_t chunk : {size_t(1), size_t(63), size_t(64), size_t(1000)}) {
            if (chunk == 1 && text.size() > 1000) continue;
            Sha256 sha;
            for (size_t at = 0; at < text.size(); at += chunk)
                sha.update({p + at, std::min(chunk, text.size() - at)});
            std::string hex;
            for (const uint8_t b : sha.finish())
                hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
            EXPECT_EQ(hex, digest) << text.size() << " bytes by " << chunk;
        }
    }
}

mapi::Message sample() {
    mapi::Message m;
    m.props.set(Property::utf8(tag::MessageClass, "IPM.Note"));
    m.props.set(Property::utf8(tag::Subject, "Lunch"));
    m.props.set(Property::utf8(tag::SenderName, "Ann"));
    m.props.set(Property::time(tag::ClientSubmitTime, 133000000000000000ull));
    m.props.set(Property::utf8(tag::Body, "At noon?"));
    m.recipients.emplace_back().props.set(Property::utf8(tag::DisplayName, "Bob"));
    mapi::Attachment& a = m.attachments.emplace_back();
    a.props.set(Property::utf8(tag::AttachLongFilename, "menu.txt"));
    a.props.set(Property::binary(tag::AttachDataBinary, {1, 2, 3}));
    return m;
}

Change set(Property p) {
    return [p](mapi::Message& m) { m.props.set(p); };
}

// Attachment data over two of the pieces a stream is hashed in, in memory
// or streamed.
Change bigData(bool streamed) {
    return [streamed](mapi::Message& m) {
        Bytes data(5u << 19);
        for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 251);
        Property p = Property::binary(tag::AttachDataBinary, {});
        if (streamed) {
            p.stream = std::make_shared<MemorySource>(std::move(data));
        } else {
            p.value = std::move(data);
        }
        m.attachments[0].props.set(std::move(p));
    };
}

TEST(MessageIdentity, WhatMakesTwoMessagesTheSame) {
    const Change id1 = set(Property::utf8(tag::InternetMessageId, "<1@x>"));
    const struct {
        const char* what;
        Change first, second;
        bool same;
    } cases[] = {
        {"identical", {}, {}, true},
        {"a property outside the set", {}, set(Property::int32(tag::MessageFlags, 1)), true},
        {"the subject", {}, set(Property::utf8(tag::Subject, "Dinner")), false},
        {"the 8-bit form of the same subject",
         {},
         [](mapi::Message& m) {
             m.props.erase(tag::Subject);
             m.props.set(Property::string8(mapi::makeTag(0x0037, mapi::PT_STRING8), "Lunch"));
         },
         true},
        {"a recipient's name",
         {},
         [](mapi::Message& m) {
             m.recipients[0].props.set(Property::utf8(tag::DisplayName, "Bo"));
         },
         false},
        {"attachment bytes",
         {},
         [](mapi::Message& m) {
             m.attachments[0].props.set(Property::binary(tag::AttachDataBinary, {1, 2, 4}));
         },
         false},
        {"attachment bytes in memory or streamed in pieces", bigData(false), bigData(true), true},
        {"a field's bytes moved to the next field",
         {},
         [](mapi::Message& m) {
             m.props.set(Property::utf8(tag::SenderName, "AnnLunch"));
             m.props.set(Property::utf8(tag::Subject, ""));
         },
         false},
        {"same message id, other content", id1,
         [](mapi::Message& m) {
             m.props.set(Property::utf8(tag::InternetMessageId, " <1@x>\r\n"));
             m.props.set(Property::utf8(tag::Subject, "Dinner"));
         },
         true},
        {"other message ids, same content", id1,
         set(Property::utf8(tag::InternetMessageId, "<2@x>")), false},
        {"only one has a message id", id1, {}, false},
    };
    for (const auto& c : cases) {
        mapi::Message a = sample();
        mapi::Message b = sample();
        if (c.first) c.first(a);
        if (c.second) c.second(b);
        EXPECT_EQ(MessageIdentity(a) == MessageIdentity(b), c.same) << c.what;
    }
}

}  // namespace
}  // namespace qm::convert
