// What a consumer does with a message a reader returned, so value handling is
// fuzzed too: every string decoded, the start of every stream read, every
// recipient, attachment and embedded message visited.
#pragma once

#include <algorithm>
#include <span>

#include "mapi/message.h"

namespace qm::fuzz {

inline void touch(const mapi::PropertyBag& props, int codePage) {
    uint8_t buf[512];
    for (const auto& p : props) {
        if (p.type() == mapi::PT_UNICODE || p.type() == mapi::PT_STRING8)
            (void)props.string(p.id(), codePage);
        if (p.stream) p.stream->read(0, std::span(buf, std::min<size_t>(512, p.stream->size())));
    }
}

inline void touch(const mapi::Message& m, int depth = 0) {
    for (const auto& r : m.recipients) touch(r.props, m.stringCodePage());
    for (const auto& a : m.attachments) {
        touch(a.props, m.stringCodePage());
        if (a.embedded && depth < 64) touch(*a.embedded, depth + 1);
    }
    touch(m.props, m.stringCodePage());
}

}  // namespace qm::fuzz
