// The digest behind --dedupe: SHA-256 against the FIPS 180-4 examples, and
// which differences between two messages make them different messages.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "convert/message_identity.h"
#include "mapi/tags.h"

namespace {

using qm::convert::Digest;
using qm::convert::Sha256;
namespace mapi = qm::mapi;

std::string hex(const Digest& d) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const uint8_t b : d) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(Sha256, KnownDigestsWhateverTheChunking) {
    const std::string million(1000000, 'a');
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.text.data());
        for (const size_t chunk : {size_t(1), size_t(63), size_t(64), size_t(1000)}) {
            if (chunk == 1 && c.text.size() > 1000) continue;
            Sha256 sha;
            for (size_t at = 0; at < c.text.size(); at += chunk) {
                sha.update({p + at, std::min(chunk, c.text.size() - at)});
            }
            EXPECT_EQ(hex(sha.finish()), c.digest) << c.text.size() << " bytes by " << chunk;
        }
    }
}

mapi::Message sample() {
    mapi::Message m;
    m.props.set(mapi::Property::utf8(mapi::tag::MessageClass, "IPM.Note"));
    m.props.set(mapi::Property::utf8(mapi::tag::Subject, "Lunch"));
    m.props.set(mapi::Property::utf8(mapi::tag::SenderName, "Ann"));
    m.props.set(mapi::Property::time(mapi::tag::ClientSubmitTime, 133000000000000000ull));
    m.props.set(mapi::Property::utf8(mapi::tag::Body, "At noon?"));
    mapi::Recipient r;
    r.props.set(mapi::Property::utf8(mapi::tag::DisplayName, "Bob"));
    m.recipients.push_back(std::move(r));
    mapi::Attachment a;
    a.props.set(mapi::Property::utf8(mapi::tag::AttachLongFilename, "menu.txt"));
    a.props.set(mapi::Property::binary(mapi::tag::AttachDataBinary, {1, 2, 3}));
    m.attachments.push_back(std::move(a));
    return m;
}

// Attachment data over two of the pieces a stream is hashed in.
mapi::Property bigData(bool streamed) {
    qm::Bytes data(5u << 19);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 251);
    mapi::Property p = mapi::Property::binary(mapi::tag::AttachDataBinary, {});
    if (streamed) {
        p.stream = std::make_shared<qm::MemorySource>(std::move(data));
    } else {
        p.value = std::move(data);
    }
    return p;
}

TEST(MessageIdentity, WhatMakesTwoMessagesTheSame) {
    using Change = std::function<void(mapi::Message&)>;
    auto withId = [](const char* id) {
        return [id](mapi::Message& m) {
            m.props.set(mapi::Property::utf8(mapi::tag::InternetMessageId, id));
        };
    };
    const struct {
        const char* what;
        Change first;
        Change second;
        bool same;
    } cases[] = {
        {"identical", {}, {}, true},
        {"a property outside the set",
         {},
         [](mapi::Message& m) { m.props.set(mapi::Property::int32(mapi::tag::MessageFlags, 1)); },
         true},
        {"the subject",
         {},
         [](mapi::Message& m) { m.props.set(mapi::Property::utf8(mapi::tag::Subject, "Dinner")); },
         false},
        {"the 8-bit form of the same subject",
         {},
         [](mapi::Message& m) {
             m.props.erase(mapi::tag::Subject);
             m.props.set(mapi::Property::string8(mapi::makeTag(0x0037, mapi::PT_STRING8), "Lunch"));
         },
         true},
        {"a recipient's name",
         {},
         [](mapi::Message& m) {
             m.recipients[0].props.set(mapi::Property::utf8(mapi::tag::DisplayName, "Bo"));
         },
         false},
        {"attachment bytes",
         {},
         [](mapi::Message& m) {
             m.attachments[0].props.set(
                 mapi::Property::binary(mapi::tag::AttachDataBinary, {1, 2, 4}));
         },
         false},
        {"attachment bytes in memory or streamed in pieces",
         [](mapi::Message& m) { m.attachments[0].props.set(bigData(false)); },
         [](mapi::Message& m) { m.attachments[0].props.set(bigData(true)); }, true},
        {"a field's bytes moved to the next field",
         {},
         [](mapi::Message& m) {
             m.props.set(mapi::Property::utf8(mapi::tag::SenderName, "AnnLunch"));
             m.props.set(mapi::Property::utf8(mapi::tag::Subject, ""));
         },
         false},
        {"same message id, other content", withId("<1@x>"),
         [](mapi::Message& m) {
             m.props.set(mapi::Property::utf8(mapi::tag::InternetMessageId, " <1@x>\r\n"));
             m.props.set(mapi::Property::utf8(mapi::tag::Subject, "Dinner"));
         },
         true},
        {"other message ids, same content", withId("<1@x>"), withId("<2@x>"), false},
        {"only one has a message id", withId("<1@x>"), {}, false},
    };
    for (const auto& c : cases) {
        mapi::Message a = sample();
        mapi::Message b = sample();
        if (c.first) c.first(a);
        if (c.second) c.second(b);
        EXPECT_EQ(qm::convert::MessageIdentity(a) == qm::convert::MessageIdentity(b), c.same)
            << c.what;
    }
}

}  // namespace
