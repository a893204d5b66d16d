// libFuzzer target over the MSG reader: any input reads or ends in
// qm::FormatError; taken as a PidTagRtfCompressed value, it is checked and
// repaired without throwing.
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
