#include "msg/rtf_header.h"

#include <string_view>

#include "msg/nameid.h"

namespace qm::msg {

namespace {

// The dictionary's initial contents ([MS-OXRTFCP] 2.1.2.1).
constexpr std::string_view kPrebuffer =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kPrebuffer.size() == 207);
constexpr size_t kDictSize = 4096;

// Whether `rtf` is one complete group: "{\rtf" to the brace that closes it,
// followed by nothing but white space and NULs.
bool wholeRtf(std::span<const uint8_t> rtf) {
    constexpr std::string_view kStart = "{\\rtf";
    if (rtf.size() < kStart.size() ||
        std::string_view(reinterpret_cast<const char*>(rtf.data()), kStart.size()) != kStart)
        return false;
    size_t depth = 0, i = 0;
    for (; i < rtf.size(); ++i) {
        uint8_t c = rtf[i];
        if (c == '\\') {
            ++i;  // an escaped brace or backslash does not count
        } else if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (depth == 0) return false;
            if (--depth == 0) break;
        }
    }
    if (depth != 0 || i >= rtf.size()) return false;
    for (++i; i < rtf.size(); ++i) {
        uint8_t c = rtf[i];
        if (c != 0 && c != ' ' && c != '\r' && c != '\n' && c != '\t') return false;
    }
    return true;
}

std::string sizes(uint32_t compSize, uint32_t rawSize, size_t total) {
    return "header gives COMPSIZE " + std::to_string(compSize) + " and RAWSIZE " +
           std::to_string(rawSize) + " for a " + std::to_string(total) + "-byte value";
}

}  // namespace

std::optional<Bytes> decompressLzfu(std::span<const uint8_t> data, size_t maxOut,
                                    size_t* consumed) {
    uint8_t dict[kDictSize];
    std::copy(kPrebuffer.begin(), kPrebuffer.end(), dict);
    std::fill(dict + kPrebuffer.size(), dict + kDictSize, uint8_t(0));
    size_t write = kPrebuffer.size();
    Bytes out;
    size_t in = 0;
    while (in < data.size()) {
        uint8_t control = data[in++];
        for (int bit = 0; bit < 8; ++bit) {
            if (in >= data.size()) return std::nullopt;
            if (!(control & (1u << bit))) {
                if (out.size() >= maxOut) return std::nullopt;
                uint8_t c = data[in++];
                out.push_back(c);
                dict[write] = c;
                write = (write + 1) % kDictSize;
                continue;
            }
            if (in + 2 > data.size()) return std::nullopt;
            // Big-endian: 12-bit dictionary offset, 4-bit length less 2.
            uint16_t ref = uint16_t(data[in] << 8 | data[in + 1]);
            in += 2;
            size_t offset = ref >> 4;
            size_t length = (ref & 0xF) + 2;
            if (offset == write) {
                if (consumed) *consumed = in;
                return out;
            }
            if (out.size() + length > maxOut) return std::nullopt;
            // Byte by byte: a reference may overlap what it is writing.
            for (size_t k = 0; k < length; ++k) {
                uint8_t c = dict[(offset + k) % kDictSize];
                out.push_back(c);
                dict[write] = c;
                write = (write + 1) % kDictSize;
            }
        }
    }
    return std::nullopt;
}

std::string repairRtfHeader(Bytes& value) {
    if (value.size() < kRtfHeaderSize) {
        return "PidTagRtfCompressed is " + std::to_string(value.size()) +
               " bytes, too short for its 16-byte header; kept as is";
    }
    uint32_t compSize = loadLE32(&value[0]);
    uint32_t rawSize = loadLE32(&value[4]);
    uint32_t type = loadLE32(&value[8]);
    uint32_t crc = loadLE32(&value[12]);
    std::span<const uint8_t> data(value.data() + kRtfHeaderSize, value.size() - kRtfHeaderSize);
    const uint32_t wholeCompSize = uint32_t(value.size() - 4);
    if (type == kRtfUncompressed) {
        if (compSize == wholeCompSize && rawSize == data.size() && crc == 0) return "";
        std::string was = sizes(compSize, rawSize, value.size());
        if (!wholeRtf(data)) {
            return "PidTagRtfCompressed (uncompressed): " + was +
                   " and the RTF does not end where the value does; kept as is";
        }
        storeLE32(&value[0], wholeCompSize);
        storeLE32(&value[4], uint32_t(data.size()));
        storeLE32(&value[12], 0);
        return "PidTagRtfCompressed (uncompressed): " + was +
               "; the header now matches the RTF, which is whole";
    }
    if (type != kRtfCompressed) {
        return "PidTagRtfCompressed has unknown COMPTYPE " + std::to_string(type) + "; kept as is";
    }
    if (compSize == wholeCompSize) return "";
    std::string was = sizes(compSize, rawSize, value.size());
    // Only a value that expands to exactly RAWSIZE bytes under its own CRC
    // is whole; then COMPSIZE alone is wrong.
    size_t used = 0;
    auto raw = decompressLzfu(data, rawSize, &used);
    if (raw && raw->size() == rawSize) {
        for (size_t covered : {used, data.size()}) {
            if (nameIdCrc(data.first(covered)) != crc) continue;
            value.resize(kRtfHeaderSize + covered);
            storeLE32(&value[0], uint32_t(value.size() - 4));
            return "PidTagRtfCompressed: " + was +
                   "; COMPSIZE now matches the compressed data, which is whole";
        }
    }
    return "PidTagRtfCompressed: " + was +
           " and the compressed data does not check out; kept as is";
}

}  // namespace qm::msg
