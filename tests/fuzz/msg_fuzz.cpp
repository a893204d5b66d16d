// libFuzzer target over the MSG reader: any input must either read or end in
// qm::FormatError. The input is also checked as a PidTagRtfCompressed value
// (header repair and LZFu expansion), which must never throw. Anything else (a crash, a sanitizer
// report, another exception, a timeout or an out-of-memory) is a bug.
//
//   cmake -DQM_BUILD_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ ...
//   msg_fuzz_seeds seeds/ && msg_fuzz -max_len=262144 -rss_limit_mb=512 corpus/ seeds/
#include <cstddef>
#include <cstdint>
#include <span>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/message.h"
#include "msg/msg.h"
#include "msg/rtf_header.h"

namespace {

// Decodes what a consumer would decode, so value handling is fuzzed too.
void touch(const qm::mapi::Message& m, int depth) {
    int cp = m.stringCodePage();
    for (const auto& p : m.props) {
        if (p.type() == qm::mapi::PT_UNICODE || p.type() == qm::mapi::PT_STRING8)
            (void)m.props.string(p.id(), cp);
        (void)p.byteSize();
    }
    for (const auto& a : m.attachments)
        if (a.embedded && depth < 64) touch(*a.embedded, depth + 1);
    for (const auto& w : m.warnings) (void)w.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        qm::mapi::Message m = qm::msg::readMsg(std::span<const uint8_t>(data, size), "fuzz.msg");
        touch(m, 0);
    } catch (const qm::FormatError&) {
    }
    qm::Bytes rtf(data, data + size);
    (void)qm::msg::repairRtfHeader(rtf);
    return 0;
}
