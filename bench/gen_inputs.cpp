// Writes the benchmark's input .msg files with our own MSG writer.
//
//   qm_bench_gen --kind small|medium|large|mix --count N --out DIR
//                [--per-folder K] [--seed S]
//
// Kinds, as the benchmark defines them:
//   small   4 KiB of plain text body, one recipient
//   medium  60 KiB HTML body plus its plain text, one 64 KiB attachment
//   large   a short body and one 8 MiB attachment
//   mix     small, medium and large drawn 75 : 24 : 1 from the seed
// Files land in DIR, or with --per-folder K in DIR/f0000, DIR/f0001, ... with
// at most K files each. Every message differs (subject, words, attachment
// bytes), and the same arguments always give the same files. The last line
// on stdout is "<files> <bytes>".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "mapi/bytes.h"
#include "mapi/error.h"
#include "mapi/message.h"
#include "mapi/tags.h"
#include "msg/msg.h"

namespace fs = std::filesystem;
using namespace qm;
using namespace qm::mapi;

namespace {

constexpr size_t kSmallBodyBytes = 4 << 10;
constexpr size_t kMediumHtmlBytes = 60 << 10;
constexpr size_t kMediumAttachmentBytes = 64 << 10;
constexpr uint64_t kLargeAttachmentBytes = 8ull << 20;

enum class Kind { Small, Medium, Large, Mix };

// splitmix64: cheap, and the same sequence on every machine.
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

const char* const kWords[] = {
    "invoice",  "meeting", "quarterly", "report",   "please", "review",  "attached", "thanks",
    "schedule", "project", "budget",    "customer", "update", "monday",  "office",   "draft",
    "the",      "and",     "for",       "with",     "about",  "regards", "team",     "delivery",
    "order",    "account", "question",  "tomorrow", "agenda", "minutes", "shipment", "contract"};
constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

// Plain prose of exactly `n` bytes, lines of about 70 characters.
std::string prose(Rng& rng, size_t n) {
    std::string s;
    s.reserve(n + 16);
    size_t line = 0;
    while (s.size() < n) {
        const char* w = kWords[rng.next() % kWordCount];
        s += w;
        line += std::char_traits<char>::length(w);
        if (line > 70) {
            s += "\r\n";
            line = 0;
        } else {
            s += ' ';
            ++line;
        }
    }
    s.resize(n);
    return s;
}

std::string html(Rng& rng, size_t n) {
    static const std::string head =
        "<html><head><meta charset=\"utf-8\"><style>p{font-family:Calibri}</style></head><body>";
    static const std::string tail = "</body></html>";
    std::string s = head;
    while (s.size() + tail.size() < n) {
        s += "<p>" + prose(rng, 200) + " <b>" + kWords[rng.next() % kWordCount] + "</b></p>\n";
    }
    s.resize(n - tail.size(), ' ');
    return s + tail;
}

Bytes patternBytes(size_t n, uint32_t seed) {
    Bytes b(n);
    PatternSource(n, seed).read(0, b);
    return b;
}

void envelope(Message& m, uint64_t index, Rng& rng) {
    m.props.set(Property::utf8(tag::MessageClass, "IPM.Note"));
    m.props.set(Property::utf8(tag::Subject, "Benchmark message " + std::to_string(index) + ": " +
                                                 kWords[rng.next() % kWordCount]));
    m.props.set(Property::utf8(tag::SenderName, "Ann Sender"));
    m.props.set(Property::utf8(tag::SenderEmailAddress, "ann@example.com"));
    m.props.set(Property::utf8(tag::DisplayTo, "Bob Receiver"));
    const uint64_t when = 0x01D9000000000000ull + index * 10'000'000ull * 60;  // a minute apart
    m.props.set(Property::time(tag::ClientSubmitTime, when));
    m.props.set(Property::time(tag::MessageDeliveryTime, when + 10'000'000ull * 5));
    m.props.set(Property::int32(tag::MessageFlags, MSGFLAG_READ));
    m.props.set(Property::int32(tag::Importance, 1));
    m.props.set(Property::int32(tag::InternetCodepage, 65001));
    m.props.set(Property::utf8(tag::InternetMessageId,
                               "<bench." + std::to_string(index) + "@example.com>"));
    Recipient r;
    r.props.set(Property::utf8(tag::DisplayName, "Bob Receiver"));
    r.props.set(Property::utf8(tag::AddressType, "SMTP"));
    r.props.set(Property::utf8(tag::EmailAddress, "bob@example.com"));
    r.props.set(Property::int32(tag::RecipientType, 1));  // MAPI_TO
    m.recipients.push_back(std::move(r));
}

Attachment byValue(const std::string& name, Property data) {
    Attachment a;
    a.props.set(Property::int32(tag::AttachMethod, ATTACH_BY_VALUE));
    a.props.set(Property::utf8(tag::AttachLongFilename, name));
    a.props.set(Property::utf8(tag::AttachFilename, name));
    a.props.set(Property::utf8(tag::DisplayName, name));
    a.props.set(Property::int32(tag::RenderingPosition, -1));
    a.props.set(std::move(data));
    return a;
}

Message makeMessage(Kind kind, uint64_t index, uint32_t seed) {
    Rng rng{(uint64_t(seed) << 32) ^ index};
    Message m;
    envelope(m, index, rng);
    const uint32_t dataSeed = uint32_t(index * 2654435761u) ^ seed;
    switch (kind) {
        case Kind::Small:
            m.props.set(Property::utf8(tag::Body, prose(rng, kSmallBodyBytes)));
            break;
        case Kind::Medium: {
            const std::string h = html(rng, kMediumHtmlBytes);
            m.props.set(Property::binary(tag::Html, Bytes(h.begin(), h.end())));
            m.props.set(Property::utf8(tag::Body, prose(rng, kMediumHtmlBytes / 4)));
            m.attachments.push_back(byValue(
                "report.pdf", Property::binary(tag::AttachDataBinary,
                                               patternBytes(kMediumAttachmentBytes, dataSeed))));
            break;
        }
        case Kind::Large: {
            m.props.set(Property::utf8(tag::Body, prose(rng, 512)));
            Property data;
            data.tag = tag::AttachDataBinary;
            data.stream = std::make_shared<PatternSource>(kLargeAttachmentBytes, dataSeed);
            m.attachments.push_back(byValue("archive.zip", std::move(data)));
            break;
        }
        case Kind::Mix:
            break;  // resolved by the caller
    }
    return m;
}

Kind mixKind(uint64_t index, uint32_t seed) {
    Rng rng{(uint64_t(seed) << 32) ^ index ^ 0x5A5A5A5Aull};
    const uint64_t r = rng.next() % 100;
    if (r < 75) return Kind::Small;
    if (r < 99) return Kind::Medium;
    return Kind::Large;
}

[[noreturn]] void usage() {
    std::cerr << "usage: qm_bench_gen --kind small|medium|large|mix --count N --out DIR "
                 "[--per-folder K] [--seed S]\n";
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::string kindName;
    uint64_t count = 0;
    uint64_t perFolder = 0;
    uint32_t seed = 1;
    fs::path out;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) usage();
        const std::string v = argv[++i];
        if (a == "--kind") {
            kindName = v;
        } else if (a == "--count") {
            count = std::stoull(v);
        } else if (a == "--per-folder") {
            perFolder = std::stoull(v);
        } else if (a == "--seed") {
            seed = uint32_t(std::stoul(v));
        } else if (a == "--out") {
            out = v;
        } else {
            usage();
        }
    }
    Kind kind;
    if (kindName == "small") {
        kind = Kind::Small;
    } else if (kindName == "medium") {
        kind = Kind::Medium;
    } else if (kindName == "large") {
        kind = Kind::Large;
    } else if (kindName == "mix") {
        kind = Kind::Mix;
    } else {
        usage();
    }
    if (count == 0 || out.empty()) usage();

    uint64_t bytes = 0;
    try {
        fs::create_directories(out);
        for (uint64_t i = 0; i < count; ++i) {
            fs::path dir = out;
            if (perFolder > 0) {
                char name[32];
                std::snprintf(name, sizeof name, "f%04llu", (unsigned long long)(i / perFolder));
                dir /= name;
                if (i % perFolder == 0) fs::create_directories(dir);
            }
            char file[32];
            std::snprintf(file, sizeof file, "m%06llu.msg", (unsigned long long)i);
            const Kind k = kind == Kind::Mix ? mixKind(i, seed) : kind;
            msg::writeMsgFile(makeMessage(k, i, seed), dir / file);
            bytes += fs::file_size(dir / file);
        }
    } catch (const std::exception& e) {
        std::cerr << "qm_bench_gen: " << e.what() << "\n";
        return 1;
    }
    std::cout << count << " " << bytes << "\n";
    return 0;
}
