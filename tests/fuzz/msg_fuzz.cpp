// libFuzzer target over the MSG reader: any input must either read or end in
// qm::FormatError. The input is also checked as a PidTagRtfCompressed value
// (header repair and LZFu expansion), which must never throw. Anything else
// (a crash, a sanitizer report, another exception, a timeout or an
// out-of-memory) is a bug.
#include <cstddef>
#include <cstdint>

#include "fuzz_touch.h"
#include "mapi/error.h"
#include "msg/msg.h"
#include "msg/rtf_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        qm::fuzz::touch(qm::msg::readMsg(std::span<const uint8_t>(data, size), "fuzz.msg"));
    } catch (const qm::FormatError&) {
    }
    qm::Bytes rtf(data, data + size);
    (void)qm::msg::repairRtfHeader(rtf);
    return 0;
}
