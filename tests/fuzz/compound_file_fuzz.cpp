// libFuzzer target over the compound-file reader: any input opens or ends in
// qm::FormatError, and so does every stream read from it (whole, salvaged,
// in pieces) and every storage copied out as its own file.
#include <memory>
#include <span>
#include <string>

#include "mapi/error.h"
#include "msg/compound_file_reader.h"
#include "msg/file_source.h"

namespace {

using qm::msg::CompoundFileReader;

void walk(const CompoundFileReader& cfb, uint32_t storage) {
    for (uint32_t id : cfb.children(storage)) {
        try {  // one bad stream says nothing of its siblings
            if (cfb.entry(id).isStream()) {
                std::string cut;
                (void)cfb.readStreamSalvaged(id, &cut);
                (void)cfb.readStream(id);
                auto source = cfb.streamSource(id);
                uint8_t buf[700];  // not a multiple of either sector size
                for (uint64_t at = 0; at < source->size(); at += sizeof buf * 7)
                    source->read(at,
                                 std::span(buf, std::min<size_t>(sizeof buf, source->size() - at)));
            } else if (cfb.entry(id).isStorage()) {
                (void)qm::msg::extractStorage(cfb, id);
                walk(cfb, id);
            }
        } catch (const qm::FormatError&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        auto source = std::make_shared<qm::SpanSource>(std::span<const uint8_t>(data, size));
        auto cfb = CompoundFileReader::open(source, "fuzz.cfb");
        (void)cfb->find(CompoundFileReader::kRoot, u"__properties_version1.0");
        walk(*cfb, CompoundFileReader::kRoot);
    } catch (const qm::FormatError&) {
    }
    return 0;
}
