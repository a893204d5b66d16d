#include "convert/store_parts.h"

#include <filesystem>
#include <limits>

namespace qm::convert {
namespace {

uint64_t propsBytes(const mapi::PropertyBag& props) {
    // Each value may take a heap item, an HNID slot, a BTH record and, when
    // big, a subnode with its own block trailer: 64 bytes covers those.
    uint64_t total = 0;
    for (const auto& p : props) total += p.byteSize() + 64;
    return total;
}

uint64_t rawBytes(const mapi::Message& m) {
    uint64_t total = propsBytes(m.props);
    for (const auto& r : m.recipients) total += propsBytes(r.props) + 256;
    for (const auto& a : m.attachments) {
        total += propsBytes(a.props) + 1024;
        if (a.embedded) total += rawBytes(*a.embedded) + 4096;
    }
    return total;
}

}  // namespace

std::optional<uint64_t> ParseSplitSize(std::string_view text) {
    if (text.empty()) return std::nullopt;
    int shift = 0;
    switch (text.back()) {
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
        default:
            break;
    }
    if (shift != 0) text.remove_suffix(1);
    if (text.empty() || text.size() > 19) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value > (std::numeric_limits<uint64_t>::max() >> shift)) return std::nullopt;
    value <<= shift;
    if (value < kMinimumSplitSize) return std::nullopt;
    return value;
}

uint64_t EstimatedMessageBytes(const mapi::Message& message) {
    const uint64_t raw = rawBytes(message);
    // Data blocks hold at most 8,176 bytes each behind a 16-byte trailer,
    // rounded to 64 bytes, and never cross a region: 1/16 more covers them,
    // the data trees over big values and the B-tree entries. The fixed part
    // is the message's own nodes: its property context, recipient and
    // attachment tables, subnode blocks.
    return raw + raw / 16 + 16384;
}

uint64_t EstimatedTableRowBytes(const mapi::Message& message) {
    // A row's fixed columns take a few hundred bytes; its strings (subject,
    // sender, recipients' names) go into the table's heap.
    uint64_t strings = 0;
    for (const auto& p : message.props) {
        const uint16_t type = p.type();
        if (type == mapi::PT_UNICODE || type == mapi::PT_STRING8) {
            strings += std::min<uint64_t>(p.byteSize(), 1024);
        }
    }
    return 1024 + strings;
}

std::string PartFileName(const std::string& first, int n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    const std::filesystem::path p(first);
    const std::string ext = p.has_stem() ? p.extension().string() : std::string();
    if (ext.empty()) return first + suffix;
    return first.substr(0, first.size() - ext.size()) + suffix + ext;
}

std::string PartDisplayName(const std::string& first, int n) {
    return first + " (" + std::to_string(n) + ")";
}

}  // namespace qm::convert
