#include "msg/test_util.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "mapi/tags.h"
#include "msg/nameid.h"

namespace qm::testing {

using namespace mapi;

ScratchDir::ScratchDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("qm-msg-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

CommandResult run(const std::string& command) {
    CommandResult r;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return r;
    std::array<char, 65536> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

static std::filesystem::path envPath(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::filesystem::path(v) : std::filesystem::path();
}

std::filesystem::path corpusDir() {
    auto shared = envPath("QM_SHARED_DIR");
    if (shared.empty() || !std::filesystem::is_directory(shared / "corpus")) return {};
    return shared / "corpus";
}
// The build's own paths stand in when the environment does not say.
std::filesystem::path sourceDir() {
    auto p = envPath("QM_SOURCE_DIR");
    return p.empty() ? std::filesystem::path(QM_TEST_SOURCE_DIR) : p;
}
std::filesystem::path binDir() {
    auto p = envPath("QM_BIN_DIR");
    return p.empty() ? std::filesystem::path(QM_TEST_BIN_DIR) : p;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

namespace {

std::string hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string lenCrc(const Bytes& b) {
    return std::to_string(b.size()) + " " + std::to_string(msg::nameIdCrc(b));
}

std::string tagHex(uint32_t tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", tag);
    return buf;
}

void dumpBag(const PropertyBag& bag, const std::string& path, std::vector<std::string>& out) {
    for (const Property& p : bag) {
        uint16_t type = p.type();
        uint16_t base = baseType(type);
        std::string line = "P " + path + " " + tagHex(p.tag) + " ";
        if (type == PT_OBJECT) {
            if (p.id() == propId(tag::AttachDataObject)) continue;  // reported by the caller
            line += "O";
        } else if (isMultiValued(type) && !fixedSize(base)) {
            line += "M " + std::to_string(p.items.size());
            for (const Bytes& item : p.items)
                line +=
                    " " + std::to_string(item.size()) + ":" + std::to_string(msg::nameIdCrc(item));
        } else if (isMultiValued(type) || p.stream || !fixedSize(type) || type == PT_CLSID) {
            if (!isKnownType(type) && p.value.size() == 8 && !p.stream) {
                line += "I " + hex(p.value.data(), 8);
            } else if (p.stream) {
                // Large values: hashed in pieces rather than loaded.
                Bytes b = p.bytes();
                line += "S " + lenCrc(b);
            } else {
                line += "S " + lenCrc(p.value);
            }
        } else {
            line += "I " + hex(p.value.data(), p.value.size());
        }
        out.push_back(line);
    }
}

void dumpMessage(const Message& m, const std::string& path, std::vector<std::string>& out) {
    dumpBag(m.props, path, out);
    out.push_back("C " + path + " " + std::to_string(m.recipients.size()) + " " +
                  std::to_string(m.attachments.size()));
    for (size_t i = 0; i < m.recipients.size(); ++i)
        dumpBag(m.recipients[i].props, path + "r" + std::to_string(i) + "/", out);
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment& a = m.attachments[i];
        std::string ap = path + "a" + std::to_string(i) + "/";
        dumpBag(a.props, ap, out);
        if (a.embedded || a.props.find(tag::AttachDataObject))
            out.push_back("P " + ap + " 3701000D O");
        if (a.embedded) dumpMessage(*a.embedded, ap + "e/", out);
    }
}

}  // namespace

std::vector<std::string> dumpLines(const Message& m) {
    std::vector<std::string> out;
    dumpMessage(m, "/", out);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace qm::testing
