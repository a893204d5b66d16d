#include "convert/export_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <type_traits>

#include "convert/export_names.h"
#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "pst/read/pst_file.h"

namespace qm::convert {

namespace {

namespace fs = std::filesystem;
using pst::read::Nid;
using pst::read::PstFile;

constexpr uint16_t kSubjectId = 0x0037;
constexpr uint16_t kSubjectPrefixId = 0x003D;
constexpr uint16_t kNormalizedSubjectId = 0x0E1D;
// PidTagStoreSupportMask ([MS-OXPROPS]) in a .msg: its strings are Unicode.
constexpr int32_t STORE_UNICODE_OK = 0x00040000;
// Beyond this, a folder of identically named messages is not the cause.
constexpr unsigned kMaxCandidates = 1'000'000;
// PstFile::folderTree's bound: deeper trees are hostile.
constexpr int kMaxFolderDepth = 256;
constexpr const char* kNoSubject = "(no subject)";
constexpr const char* kUnnamedFolder = "(unnamed folder)";

void setIfAbsent(mapi::PropertyBag& bag, mapi::Property p) {
    if (!bag.findId(p.id())) bag.set(std::move(p));
}

// The store keeps the subject prefix only as a marker inside the subject
// (U+0001, prefix length + 1, then the whole subject); a .msg keeps it in
// PidTagSubjectPrefix and the rest in PidTagNormalizedSubject.
template <typename Text>
void splitSubject(mapi::PropertyBag& bag, uint16_t type, Text subject,
                  const std::function<Bytes(const Text&)>& encode) {
    std::optional<Text> prefix;
    if (subject.size() >= 2 && subject[0] == 1) {
        const size_t length = size_t(std::make_unsigned_t<typename Text::value_type>(subject[1]));
        subject.erase(0, 2);
        prefix = subject.substr(0, std::min(subject.size(), length == 0 ? 0 : length - 1));
        bag.set(mapi::Property::raw(mapi::makeTag(kSubjectId, type), encode(subject)));
    }
    const Text normalized = prefix ? subject.substr(prefix->size()) : subject;
    if (prefix)
        setIfAbsent(bag,
                    mapi::Property::raw(mapi::makeTag(kSubjectPrefixId, type), encode(*prefix)));
    setIfAbsent(bag,
                mapi::Property::raw(mapi::makeTag(kNormalizedSubjectId, type), encode(normalized)));
}

void restoreSubject(mapi::Message& m) {
    if (const mapi::Property* s = m.props.find(mapi::makeTag(kSubjectId, mapi::PT_UNICODE));
        s && !s->stream) {
        splitSubject<std::u16string>(m.props, mapi::PT_UNICODE, mapi::utf16FromLE(s->value),
                                     [](const std::u16string& t) { return mapi::utf16ToLE(t); });
    } else if (const mapi::Property* s8 = m.props.find(mapi::makeTag(kSubjectId, mapi::PT_STRING8));
               s8 && !s8->stream) {
        splitSubject<std::string>(m.props, mapi::PT_STRING8,
                                  std::string(s8->value.begin(), s8->value.end()),
                                  [](const std::string& t) { return Bytes(t.begin(), t.end()); });
    }
    for (auto& a : m.attachments) {
        if (a.embedded) restoreSubject(*a.embedded);
    }
}

bool hasUnicodeStrings(const mapi::PropertyBag& bag) {
    for (const auto& p : bag) {
        if (mapi::baseType(p.type()) == mapi::PT_UNICODE) return true;
    }
    return false;
}

// A .msg numbers its recipients and attachments in these properties; the
// store keeps the numbers as row ids only, which its reader leaves out.
void renumber(mapi::Message& m) {
    for (size_t i = 0; i < m.recipients.size(); ++i)
        setIfAbsent(m.recipients[i].props, mapi::Property::int32(mapi::tag::RowId, int32_t(i)));
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        setIfAbsent(m.attachments[i].props,
                    mapi::Property::int32(mapi::tag::AttachNumber, int32_t(i)));
        if (m.attachments[i].embedded) renumber(*m.attachments[i].embedded);
    }
}

// The message as a .msg file carries it.
void prepareForMsg(mapi::Message& m) {
    restoreSubject(m);
    renumber(m);
    if (hasUnicodeStrings(m.props))
        setIfAbsent(m.props, mapi::Property::int32(mapi::tag::StoreSupportMask, STORE_UNICODE_OK));
}

// A .msg written under a hidden name in its folder, then given its real
// name without replacing anything; removed if it never gets one.
class NewFile {
  public:
    explicit NewFile(const fs::path& dir) {
        std::string name = (dir / ".quillmark-export-XXXXXX").string();
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0) throw IoError(dir.string(), "create a file in", errno);
        ::fchmod(fd_, 0644);  // mkostemp makes it private; the .pst writer uses 0644 too
        hidden_ = name;
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!hidden_.empty()) ::unlink(hidden_.c_str());
    }

    void write(std::span<const uint8_t> piece) {
        while (!piece.empty()) {
            const ssize_t n = ::write(fd_, piece.data(), piece.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw IoError(hidden_, "write", errno);
            piece = piece.subspan(size_t(n));
        }
    }

    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw IoError(hidden_, "close", errno);
    }

    // False when anything (file, folder, link) already has `target`'s name.
    bool publishAs(const fs::path& target) {
        if (::renameat2(AT_FDCWD, hidden_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
            0) {
            hidden_.clear();
            return true;
        }
        if (errno == EEXIST) return false;
        // File systems without RENAME_NOREPLACE: link(2) never replaces either.
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            throw IoError(target.string(), "rename " + hidden_ + " to", errno);
        if (::link(hidden_.c_str(), target.c_str()) != 0) {
            if (errno == EEXIST) return false;
            throw IoError(target.string(), "link " + hidden_ + " to", errno);
        }
        ::unlink(hidden_.c_str());
        hidden_.clear();
        return true;
    }

  private:
    int fd_ = -1;
    std::string hidden_;
};

// The names in one destination folder as a case-insensitive file system
// compares them (a folder exported on Linux may be copied to Windows or a
// Mac): those there before the run, and those this run gave.
class FolderNames {
  public:
    explicit FolderNames(const fs::path& dir) {
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code statusError;
            // A link is never followed: it could lead out of the destination.
            const bool isFolder =
                it->symlink_status(statusError).type() == fs::file_type::directory;
            const std::string name = it->path().filename().string();
            auto [at, added] = existing_.try_emplace(clashKey(name), Existing{name, isFolder});
            if (!added && isFolder && !at->second.isFolder) at->second = {name, true};
        }
        if (ec) throw IoError(dir.string(), "list", ec.value());
    }

    bool taken(const std::string& name) const {
        const std::string key = clashKey(name);
        return claimed_.count(key) || existing_.count(key);
    }
    bool claimed(const std::string& name) const { return claimed_.count(clashKey(name)) != 0; }
    void claim(const std::string& name) { claimed_.insert(clashKey(name)); }
    // The folder that was there before the run under `name` (in any case).
    std::optional<std::string> existingFolder(const std::string& name) const {
        auto it = existing_.find(clashKey(name));
        if (it == existing_.end() || !it->second.isFolder) return std::nullopt;
        return it->second.name;
    }

  private:
    struct Existing {
        std::string name;
        bool isFolder = false;
    };
    std::map<std::string, Existing> existing_;
    std::set<std::string> claimed_;
};

class Exporter {
  public:
    Exporter(const PstFile& pst, ExportObserver& observer) : pst_(pst), observer_(observer) {}

    void folder(Nid nid, const std::string& storePath, const fs::path& dir, int depth) {
        std::optional<FolderNames> names;
        try {
            names.emplace(dir);
        } catch (const Error& e) {
            fail(storePath, 0, e.what());
            return;
        }
        std::vector<Nid> messages;
        try {
            messages = pst_.messageNids(nid);
        } catch (const Error& e) {
            fail(storePath, 0, std::string("its contents table cannot be read: ") + e.what());
        }
        report_.messages += messages.size();
        std::map<std::string, unsigned> nextCandidate;  // by clash key of the stem
        for (Nid m : messages) {
            if (stopping()) return;
            message(m, storePath, dir, *names, nextCandidate);
        }

        std::vector<pst::read::FolderEntry> children;
        try {
            children = pst_.childFolders(nid);
        } catch (const Error& e) {
            fail(storePath, 0, std::string("its sub-folders cannot be read: ") + e.what());
            return;
        }
        for (const auto& child : children) {
            if (stopping()) return;
            const std::string path = storePath.empty() ? child.name : storePath + "\\" + child.name;
            ++report_.folders;
            if (depth >= kMaxFolderDepth || !visited_.insert(child.nid).second) {
                fail(path, 0, "the folder tree loops or nests too deep here");
                continue;
            }
            fs::path sub;
            try {
                sub = makeFolder(dir, safeName(child.name, kUnnamedFolder), *names);
            } catch (const Error& e) {
                fail(path, 0, e.what());
                continue;
            }
            folder(child.nid, path, sub, depth + 1);
        }
    }

    ExportReport take() { return std::move(report_); }

  private:
    void message(Nid nid, const std::string& storePath, const fs::path& dir, FolderNames& names,
                 std::map<std::string, unsigned>& nextCandidate) {
        try {
            mapi::Message m = pst_.readMessage(nid);
            prepareForMsg(m);
            const std::string subject = m.props.string(kSubjectId, m.stringCodePage()).value_or("");
            const fs::path file =
                write(m, dir, safeName(subject, kNoSubject), names, nextCandidate);
            ++report_.exported;
            observer_.exported({storePath, nid, file});
        } catch (const Error& e) {
            fail(storePath, nid, e.what());
        }
    }

    // `nextCandidate` remembers, per stem, where the numbers go on, so a
    // folder of a thousand "(no subject)" messages tries each name once.
    static fs::path write(const mapi::Message& m, const fs::path& dir, const std::string& stem,
                          FolderNames& names, std::map<std::string, unsigned>& nextCandidate) {
        NewFile file(dir);
        msg::writeMsg(m, [&](std::span<const uint8_t> piece) { file.write(piece); });
        file.close();
        unsigned& n = nextCandidate.try_emplace(clashKey(stem), 1).first->second;
        for (; n < kMaxCandidates; ++n) {
            const std::string name = candidateName(stem, ".msg", n);
            if (names.taken(name)) continue;
            names.claim(name);  // given now, or taken by something that appeared meanwhile
            if (file.publishAs(dir / name)) {
                ++n;
                return dir / name;
            }
        }
        throw Error((dir / stem).string() + ": every numbered name up to " +
                    std::to_string(kMaxCandidates) + " is taken");
    }

    // The folder for one store folder: one that was there before the run is
    // reused (in whatever case it is written); a name another store folder
    // of this run took, or a file holds, moves on to "Name (2)".
    static fs::path makeFolder(const fs::path& parent, const std::string& stem,
                               FolderNames& names) {
        for (unsigned n = 1; n < kMaxCandidates; ++n) {
            const std::string name = candidateName(stem, "", n);
            if (names.claimed(name)) continue;
            if (auto existing = names.existingFolder(name)) {
                names.claim(name);
                return parent / *existing;
            }
            if (names.taken(name)) continue;
            names.claim(name);
            const fs::path path = parent / name;
            if (::mkdir(path.c_str(), 0777) != 0) {
                if (errno != EEXIST) throw IoError(path.string(), "create folder", errno);
                struct stat st {};
                if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
            }
            return path;
        }
        throw Error((parent / stem).string() + ": every numbered folder name is taken");
    }

    bool stopping() {
        if (!report_.stopped && observer_.stopRequested()) report_.stopped = true;
        return report_.stopped;
    }

    void fail(const std::string& folder, Nid nid, std::string reason) {
        ExportFailure f{folder, nid, std::move(reason)};
        observer_.failed(f);
        report_.failed.push_back(std::move(f));
    }

    const PstFile& pst_;
    ExportObserver& observer_;
    ExportReport report_;
    std::set<Nid> visited_;
};

}  // namespace

ExportReport exportStore(const fs::path& pst, const fs::path& destination,
                         ExportObserver& observer) {
    const auto file = PstFile::open(pst);
    const Nid top = file->ipmSubtree();
    std::error_code ec;
    if (fs::exists(destination, ec) && !fs::is_directory(destination, ec))
        throw Error(destination.string() + ": exists and is not a folder, so nothing is exported");
    fs::create_directories(destination, ec);
    if (ec) throw IoError(destination.string(), "create folder", ec.value());
    Exporter exporter(*file, observer);
    exporter.folder(top, "", destination, 0);
    return exporter.take();
}

}  // namespace qm::convert
