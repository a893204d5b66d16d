// quillmark-cli show [--json] FILE.msg: every property of a .msg, its
// recipients and attachments (embedded messages nested), as text or as one
// JSON document. Exit 0 when the file reads, 2 when it does not.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/message.h"
#include "mapi/propnames.h"
#include "mapi/tags.h"
#include "msg/msg.h"

namespace qm::cli {

namespace {

// Keys keep the order the design gives them (class, subject, properties, ...).
using json = nlohmann::ordered_json;
using namespace qm::mapi;

// Long values are summarised, not dumped: a body can run to megabytes.
constexpr size_t kMaxJsonChars = 2048;
constexpr size_t kMaxTextChars = 100;
constexpr size_t kMaxHexBytes = 64;
// FILETIME of 1970-01-01, in 100 ns units since 1601-01-01.
constexpr uint64_t kUnixEpochFiletime = 116444736000000000ull;

std::string hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

std::string hexBytes(const Bytes& b) {
    std::string s;
    static const char* d = "0123456789abcdef";
    for (size_t i = 0; i < b.size() && i < kMaxHexBytes; ++i) {
        s += d[b[i] >> 4];
        s += d[b[i] & 15];
    }
    if (b.size() > kMaxHexBytes) s += "...";
    return s;
}

std::string clip(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t cut = max;
    while (cut > 0 && (uint8_t(s[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8 characters
    return s.substr(0, cut) + "...";
}

std::string filetime(uint64_t ft) {
    if (ft < kUnixEpochFiletime) return "filetime " + std::to_string(ft);
    int64_t secs = int64_t((ft - kUnixEpochFiletime) / 10000000ull);
    std::time_t t = std::time_t(secs);
    std::tm tm{};
    if (!gmtime_r(&t, &tm)) return "filetime " + std::to_string(ft);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// One element of a fixed-size type, as JSON.
json scalar(uint16_t type, const uint8_t* p) {
    switch (type) {
        case PT_SHORT:
            return int16_t(loadLE16(p));
        case PT_LONG:
            return int32_t(loadLE32(p));
        case PT_ERROR:
            return hex(loadLE32(p), 8);
        case PT_BOOLEAN:
            return p[0] != 0;
        case PT_LONGLONG:
            return int64_t(loadLE64(p));
        case PT_CURRENCY:
            return double(int64_t(loadLE64(p))) / 10000.0;
        case PT_SYSTIME:
            return filetime(loadLE64(p));
        case PT_CLSID:
            return Guid::fromBytes(p).str();
        case PT_FLOAT: {
            uint32_t bits = loadLE32(p);
            float f;
            std::memcpy(&f, &bits, 4);
            return std::isfinite(f) ? json(f) : json(std::to_string(f));
        }
        case PT_DOUBLE:
        case PT_APPTIME: {
            uint64_t bits = loadLE64(p);
            double d;
            std::memcpy(&d, &bits, 8);
            return std::isfinite(d) ? json(d) : json(std::to_string(d));
        }
        default:
            return nullptr;
    }
}

json stringValue(uint16_t base, const Bytes& b, int codePage, size_t max) {
    std::u16string s =
        base == PT_UNICODE
            ? utf16FromLE(b)
            : decodeCodePage(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()),
                             codePage);
    return clip(toUtf8(s), max);
}

json valueOf(const Property& p, int codePage, size_t maxChars) {
    uint16_t type = p.type();
    uint16_t base = baseType(type);
    if (isMultiValued(type)) {
        json arr = json::array();
        if (size_t fs = fixedSize(base)) {
            for (size_t i = 0; i + fs <= p.value.size(); i += fs)
                arr.push_back(scalar(base, &p.value[i]));
        } else {
            for (const Bytes& item : p.items) {
                if (base == PT_UNICODE || base == PT_STRING8) {
                    arr.push_back(stringValue(base, item, codePage, maxChars));
                } else {
                    arr.push_back(hexBytes(item));
                }
            }
        }
        return arr;
    }
    if (type == PT_UNICODE || type == PT_STRING8) {
        if (p.stream) return "<" + std::to_string(p.byteSize()) + " bytes>";
        return stringValue(type, p.value, codePage, maxChars);
    }
    if (type == PT_OBJECT) return "<storage, " + std::to_string(p.byteSize()) + " bytes>";
    size_t fs = fixedSize(type);
    if (fs && !p.stream && p.value.size() == fs) return scalar(type, p.value.data());
    if (p.stream) {
        Bytes head(size_t(std::min<uint64_t>(p.stream->size(), kMaxHexBytes + 1)));
        p.stream->read(0, head);
        return hexBytes(head);
    }
    return hexBytes(p.value);
}

std::string tagName(const Property& p) {
    if (p.named) return p.named->str();
    return propertyName(p.id());
}

json propertyJson(const Property& p, int codePage) {
    json j;
    j["tag"] = hex(p.tag, 8);
    j["name"] = p.named ? "" : propertyName(p.id());
    j["type"] = typeName(p.type());
    if (p.named) {
        json n;
        n["set"] = p.named->set.str();
        if (p.named->isString)
            n["name"] = toUtf8(p.named->name);
        else
            n["id"] = hex(p.named->id, 4);
        j["named"] = n;
    }
    if (!fixedSize(p.type()) || isMultiValued(p.type()) || p.type() == PT_CLSID)
        j["size"] = p.byteSize();
    j["value"] = valueOf(p, codePage, kMaxJsonChars);
    return j;
}

std::string attachmentName(const Attachment& a, int codePage) {
    for (uint16_t id :
         {propId(tag::AttachLongFilename), propId(tag::AttachFilename), propId(tag::DisplayName)}) {
        if (auto s = a.props.string(id, codePage); s && !s->empty()) return *s;
    }
    return "";
}

uint64_t attachmentSize(const Attachment& a) {
    if (const Property* d = a.props.find(tag::AttachDataBinary)) return d->byteSize();
    if (const Property* d = a.props.find(tag::AttachDataObject)) return d->byteSize();
    if (auto s = a.props.int32(tag::AttachSize)) return uint64_t(uint32_t(*s));
    return 0;
}

json propertiesJson(const PropertyBag& bag, int codePage) {
    json arr = json::array();
    for (const Property& p : bag) arr.push_back(propertyJson(p, codePage));
    return arr;
}

json messageJson(const Message& m) {
    int cp = m.stringCodePage();
    json j;
    j["class"] = m.props.string(propId(tag::MessageClass), cp).value_or("");
    j["subject"] = m.props.string(propId(tag::Subject), cp).value_or("");
    j["properties"] = propertiesJson(m.props, cp);
    j["recipients"] = json::array();
    for (const Recipient& r : m.recipients)
        j["recipients"].push_back({{"properties", propertiesJson(r.props, cp)}});
    j["attachments"] = json::array();
    for (const Attachment& a : m.attachments) {
        json aj;
        aj["name"] = attachmentName(a, cp);
        aj["method"] = a.method();
        aj["size"] = attachmentSize(a);
        aj["properties"] = propertiesJson(a.props, cp);
        if (a.embedded) aj["embedded"] = messageJson(*a.embedded);
        j["attachments"].push_back(std::move(aj));
    }
    return j;
}

void printProperties(std::ostream& out, const PropertyBag& bag, int cp, const std::string& pad) {
    for (const Property& p : bag) {
        json v = valueOf(p, cp, kMaxTextChars);
        // JSON escaping keeps one property to one line (headers hold CR LF).
        std::string shown = v.dump(-1, ' ', false, json::error_handler_t::replace);
        if (!fixedSize(p.type()) || isMultiValued(p.type()))
            shown = "(" + std::to_string(p.byteSize()) + " bytes) " + shown;
        char line[160];
        std::snprintf(line, sizeof line, "%s%s  %-40s %-22s ", pad.c_str(), hex(p.tag, 8).c_str(),
                      tagName(p).c_str(), typeName(p.type()).c_str());
        out << line << shown << "\n";
    }
}

const char* methodName(int32_t m) {
    switch (m) {
        case ATTACH_NO_ATTACHMENT:
            return "none";
        case ATTACH_BY_VALUE:
            return "by value";
        case ATTACH_BY_REFERENCE:
            return "by reference";
        case 3:
            return "by reference (resolve)";
        case ATTACH_BY_REF_ONLY:
            return "by reference only";
        case ATTACH_EMBEDDED_MSG:
            return "embedded message";
        case ATTACH_OLE:
            return "OLE storage";
        case ATTACH_BY_WEB_REFERENCE:
            return "by web reference";
        default:
            return "unknown";
    }
}

void printMessage(std::ostream& out, const Message& m, const std::string& pad) {
    int cp = m.stringCodePage();
    out << pad << "Class: " << m.props.string(propId(tag::MessageClass), cp).value_or("") << "\n";
    out << pad << "Subject: " << m.props.string(propId(tag::Subject), cp).value_or("") << "\n";
    out << pad << "Properties (" << m.props.size() << "):\n";
    printProperties(out, m.props, cp, pad + "  ");
    out << pad << "Recipients (" << m.recipients.size() << "):\n";
    for (size_t i = 0; i < m.recipients.size(); ++i) {
        out << pad << "  Recipient " << i << ":\n";
        printProperties(out, m.recipients[i].props, cp, pad + "    ");
    }
    out << pad << "Attachments (" << m.attachments.size() << "):\n";
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment& a = m.attachments[i];
        out << pad << "  Attachment " << i << ": \"" << attachmentName(a, cp) << "\", method "
            << a.method() << " (" << methodName(a.method()) << "), " << attachmentSize(a)
            << " bytes\n";
        printProperties(out, a.props, cp, pad + "    ");
        if (a.embedded) {
            out << pad << "    Embedded message:\n";
            printMessage(out, *a.embedded, pad + "      ");
        }
    }
}

}  // namespace

void addShowCommand(CLI::App& app, Action& action) {
    auto* cmd = app.add_subcommand("show", "Print every property of a .msg file");
    auto json = std::make_shared<bool>(false);
    auto file = std::make_shared<std::string>();
    cmd->add_flag("--json", *json, "Print one JSON document");
    cmd->add_option("FILE", *file, "The .msg file")->required();
    cmd->callback([&action, json, file] {
        action = [json, file] {
            Message m;
            try {
                m = msg::readMsgFile(*file);
            } catch (const qm::Error& e) {
                std::cerr << "quillmark-cli show: " << e.what() << "\n";
                return 2;
            }
            if (*json) {
                std::cout << messageJson(m).dump(2) << "\n";
            } else {
                std::cout << "File: " << *file << "\n";
                printMessage(std::cout, m, "");
            }
            return 0;
        };
    });
}

}  // namespace qm::cli
