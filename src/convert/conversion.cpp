#include "convert/conversion.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>
#include <unordered_map>

#include "convert/folder_list.h"
#include "convert/message_identity.h"
#include "convert/read_ahead.h"
#include "convert/relative_folder.h"
#include "convert/store_parts.h"
#include "mapi/error.h"
#include "mapi/read_only_file.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "msg/msg.h"
#include "pst/ndb/format.h"
#include "pst/store/store.h"

namespace qm::convert {
namespace {

namespace fs = std::filesystem;

class MsgReader : public MessageReader {
  public:
    mapi::Message read(const std::string& path) override {
        return msg::readMsgFile(fs::path(path));
    }
};

// Only regular files (or links to them): a FIFO or a device would block or
// never end. Returns the file's size, from the same look (a run over 100,000
// files pays for every look at each).
uint64_t requireRegularFile(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode)) return uint64_t(st.st_size);
        throw Error(path + ": not a regular file");
    }
    const bool missing = errno == ENOENT || errno == ENOTDIR;
    throw Error(path + (missing ? ": no such file" : ": not a regular file"));
}

// The message with its 8-bit strings decoded; what decoding met joins what
// the reader reported.
mapi::Message readDecoded(MessageReader& reader, const std::string& path, int fallbackCodePage) {
    mapi::Message m;
    try {
        m = reader.read(path);
    } catch (const std::bad_alloc&) {
        throw Error(path + ": not enough memory to read the message");
    }
    for (auto& w : mapi::decodeString8(m, fallbackCodePage)) m.warnings.push_back(std::move(w));
    return m;
}

void addWarning(RunReport& report, Observer& observer, Warning warning) {
    ++report.warningCount;
    observer.warning(warning);
    if (report.warnings.size() < kKeptWarnings) report.warnings.push_back(std::move(warning));
}

// Digests are uniform already: their first bytes make a good hash.
struct DigestHash {
    size_t operator()(const Digest& d) const {
        size_t h = 0;
        for (size_t i = 0; i < sizeof h; ++i) h = (h << 8) | d[i];
        return h;
    }
};

// A folder's path, as the folder list and the rows give it, and its node:
// the rows of one folder come together, so one lookup serves a run of them.
struct FolderCache {
    std::string path;
    pst::Nid nid = 0;
    bool valid = false;
};

}  // namespace

std::string SourceList::storeFolder(const std::string& path) {
    return GetRelativeFolder(path);
}

std::shared_ptr<MessageReader> MsgFileReader() {
    return std::make_shared<MsgReader>();
}

std::string WithTrailingSeparator(const std::string& folder) {
    constexpr char sep = fs::path::preferred_separator;
    if (!folder.empty() && folder.back() == sep) return folder;
    return folder + sep;
}

int32_t MessageFlagsFor(size_t attachmentCount) {
    return mapi::MSGFLAG_READ | (attachmentCount > 0 ? mapi::MSGFLAG_HASATTACH : 0);
}

Conversion::Conversion(ConversionOptions options) : options_(std::move(options)) {
    if (!options_.reader) options_.reader = MsgFileReader();
}

Conversion::~Conversion() {
    try {
        close();
    } catch (const std::exception&) {
        // Nobody is left to tell; the file keeps its last commit, which is
        // what a killed run leaves too.
    }
}

bool Conversion::storeOpen() const {
    return store_ && store_->isOpen();
}

void Conversion::close() {
    if (storeOpen()) store_->close();
}

RunReport Conversion::run(SourceList& sources, Observer& observer) {
    if (ran_) throw Error("a conversion runs once; start a new one");
    ran_ = true;
    const auto started = std::chrono::steady_clock::now();
    RunReport report;
    report.destination = options_.destination;
    auto finish = [&](RunOutcome outcome) {
        report.outcome = outcome;
        report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return std::move(report);
    };

    // Asked to stop before anything was made: no store is left behind.
    if (observer.stopRequested()) return finish(RunOutcome::Stopped);
    try {
        openStore(report);
        buildFolderList(sources, observer);
    } catch (const std::exception& e) {
        report.trappedCause = e.what();
        return finish(RunOutcome::Trapped);
    }

    createFolderTree(observer, report);
    bool complete = !observer.stopRequested();
    if (complete) complete = importMessages(sources, observer, report);
    findDuplicateOrigins(sources, report);
    observer.yield();
    closeStore(report, observer);
    return finish(complete ? RunOutcome::Completed : RunOutcome::Stopped);
}

void Conversion::openStore(RunReport& report) {
    const std::string timestamp = Timestamp(options_.clock());
    const std::string path = options_.storeFile.empty()
                                 ? options_.destination + StoreFileName(timestamp)
                                 : options_.storeFile;
    const std::string displayName = StoreDisplayName(timestamp);
    createStore(path, displayName);
    firstPath_ = path;
    firstDisplayName_ = displayName;
    report.displayName = displayName;
    report.pstPath = path;
    report.storeCreated = true;
}

void Conversion::createStore(const std::string& path, const std::string& displayName) {
    std::error_code ec;
    if (fs::symlink_status(fs::path(path), ec).type() != fs::file_type::not_found && !ec) {
        throw Error("\"" + path + "\" already exists; it is never overwritten");
    }
    store_ = pst::Store::create(fs::path(path), displayName);
}

void Conversion::nextPart(RunReport& report, Observer& observer) {
    closeStore(report, observer);
    ++part_;
    partConverted_ = 0;
    partRowBytes_ = 0;
    try {
        createStore(PartFileName(firstPath_, part_), PartDisplayName(firstDisplayName_, part_));
    } catch (const std::exception& e) {
        throw Error("starting part " + std::to_string(part_) + " failed: " + e.what());
    }
}

// Whether `extra` more bytes keep the open part within the split size. The
// file grows by whole regions, so the growth is rounded up to them; the
// contents-table rows added since the part began are written again at the
// closing commit, and the B-tree pages and maps of that commit take the
// rest of the reserve.
bool Conversion::fits(uint64_t extra) const {
    constexpr uint64_t kCommitReserve = 64 * 1024;
    const uint64_t region = pst::ndb::kRegionSize;
    const uint64_t growth = extra + partRowBytes_ + kCommitReserve;
    const uint64_t projected = store_->fileSize() + (growth + region - 1) / region * region;
    return projected <= options_.splitSize;
}

// The folder at `path` in the open store. In a later part of a split run,
// the folders a message needs are made as it comes, parents first.
pst::Nid Conversion::folderFor(const std::string& path, RunReport& report) {
    if (const auto nid = pst::findFolderByPath(*store_, path)) return *nid;
    if (part_ == 1) {
        throw Error("no folder \"" + path + "\" in the store \"" + store_->displayName() + "\"");
    }
    pst::Nid at = store_->ipmSubtree();
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find('\\', begin);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(begin, end - begin);
        if (const auto child = store_->findChildFolder(at, name)) {
            at = child->nid;
        } else {
            at = store_->addFolder(at, name);
            ++report.folders;
        }
        begin = end + 1;
    }
    return at;
}

void Conversion::buildFolderList(SourceList& sources, Observer& observer) {
    const int64_t rows = sources.size();
    folderList_.clear();
    for (int64_t i = 0; i < rows; ++i) {
        std::string folder = sources.storeFolder(sources.path(i));
        // The messages of one folder are listed together, so most rows repeat
        // the row before; the sort and de-duplication would drop those copies
        // anyway, and keeping them costs memory in every row.
        if (!folderList_.empty() && folderList_.back() == folder) continue;
        folderList_.push_back(std::move(folder));
    }
    folderList_.emplace_back();  // the spare element ExpandAndSortFolders expects
    ExpandAndSortFolders(folderList_, &observer);
    // Expanding added every folder's parents, most of them dropped again as
    // copies; the list is kept for the whole run, its spare room need not be.
    folderList_.shrink_to_fit();
}

void Conversion::createFolderTree(Observer& observer, RunReport& report) {
    // A name already there (two source folders differing only in case) is
    // how two entries share one store folder, so it is no failure.
    auto add = [&](pst::Nid parent, const std::string& name) {
        if (store_->findChildFolder(parent, name)) return;
        store_->addFolder(parent, name);
        ++report.folders;
    };
    for (const std::string& entry : folderList_) {
        if (observer.stopRequested()) return;
        const size_t lastBackslash = entry.rfind('\\');
        if (lastBackslash == std::string::npos) {
            try {
                add(store_->ipmSubtree(), entry);
            } catch (const std::exception& e) {
                report.failedFolders.push_back({entry, e.what()});
            }
            observer.yield();
            continue;
        }
        const std::string name = entry.substr(lastBackslash + 1);
        const std::string parentPath = entry.substr(0, lastBackslash);
        std::optional<pst::Nid> parent;
        try {
            parent = pst::findFolderByPath(*store_, parentPath);
            if (!parent) throw Error("no folder \"" + parentPath + "\" to hold \"" + name + "\"");
        } catch (const std::exception& e) {
            report.failedFolders.push_back({entry, e.what()});
        }
        observer.yield();
        if (parent) {
            try {
                add(*parent, name);
            } catch (const std::exception& e) {
                report.failedFolders.push_back({entry, e.what()});
            }
        }
        observer.yield();
    }
}

bool Conversion::importMessages(SourceList& sources, Observer& observer, RunReport& report) {
    const int64_t rows = sources.size();
    std::unique_ptr<ReadAhead> ahead;
    if (options_.readAhead) {
        if (auto cursor = sources.readAheadCursor()) {
            auto shared = std::shared_ptr<SourceCursor>(std::move(cursor));
            auto reader = options_.reader;
            const int codePage = options_.fallbackCodePage;
            ahead = std::make_unique<ReadAhead>(
                [shared](std::string& path) {
                    if (!shared->next(path)) return false;
                    path = SourcePathForImport(path);
                    return true;
                },
                [reader, codePage](const std::string& path) {
                    return readDecoded(*reader, path, codePage);
                });
        }
    }
    FolderCache folder;
    // The identity of every converted message and its row: fixed space per
    // message, the paths are found again once the import is over.
    std::unordered_map<Digest, int64_t, DigestHash> seen;
    // Why no store is open (a later part could not be started): every row
    // from then on fails with it.
    std::string noStore;
    for (int64_t i = 0; i < rows; ++i) {
        MessageOutcome outcome;
        outcome.row = i;
        outcome.rows = rows;
        std::string listed;
        bool rowRead = false;
        try {
            observer.messageStarting(i);
            listed = sources.path(i);
            rowRead = true;
        } catch (const std::exception& e) {
            outcome.reason = e.what();
        }
        if (rowRead) {
            outcome.path = SourcePathForImport(listed);
            try {
                outcome.storeFolder = sources.storeFolder(listed);
                if (!noStore.empty()) throw Error(noStore);
                if (!folder.valid || folder.path != outcome.storeFolder) {
                    folder = {outcome.storeFolder, folderFor(outcome.storeFolder, report), true};
                }
                report.bytesIn += requireRegularFile(outcome.path);
                std::optional<mapi::Message> message;
                if (ahead) message = ahead->take(outcome.path);
                if (!message) {
                    message =
                        readDecoded(*options_.reader, outcome.path, options_.fallbackCodePage);
                }
                std::optional<Digest> identity;
                if (options_.dedupe) {
                    identity = MessageIdentity(*message);
                    if (const auto it = seen.find(*identity); it != seen.end()) {
                        report.duplicates.push_back({outcome.path, {}, it->second});
                        outcome.duplicate = true;
                    }
                }
                if (!outcome.duplicate) {
                    for (auto& w : message->warnings)
                        addWarning(report, observer, {outcome.path, std::move(w)});
                    message->props.set(mapi::Property::int32(
                        mapi::tag::MessageFlags, MessageFlagsFor(message->attachments.size())));
                    uint64_t rowBytes = 0;
                    if (options_.splitSize > 0) {
                        rowBytes = EstimatedTableRowBytes(*message);
                        const uint64_t need = EstimatedMessageBytes(*message) + rowBytes;
                        if (partConverted_ > 0 && !fits(need)) {
                            folder.valid = false;
                            try {
                                nextPart(report, observer);
                            } catch (const std::exception& e) {
                                noStore = e.what();
                                throw;
                            }
                            folder = {outcome.storeFolder, folderFor(outcome.storeFolder, report),
                                      true};
                        }
                    }
                    try {
                        store_->addMessage(folder.nid, std::move(*message));
                    } catch (const std::exception& e) {
                        throw Error(std::string("writing it into the store failed: ") + e.what());
                    }
                    ++report.converted;
                    ++partConverted_;
                    partRowBytes_ += rowBytes;
                    outcome.converted = true;
                    if (partConverted_ == 1) partFirstPath_ = outcome.path;
                    if (identity) seen.emplace(*identity, i);
                }
            } catch (const std::exception& e) {
                outcome.reason = e.what();
            }
        }
        if (!outcome.converted && !outcome.duplicate) {
            report.failed.push_back(
                {rowRead ? outcome.path : "row " + std::to_string(i + 1), outcome.reason});
        }
        ++report.messages;
        observer.messageDone(outcome);
        if (observer.stopRequested() && i + 1 < rows) return false;
    }
    return true;
}

void Conversion::findDuplicateOrigins(SourceList& sources, RunReport& report) {
    if (report.duplicates.empty()) return;
    std::vector<size_t> order(report.duplicates.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    // In row order, so a list that is walked again is walked once.
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return report.duplicates[a].sameAsRow < report.duplicates[b].sameAsRow;
    });
    for (const size_t i : order) {
        Duplicate& d = report.duplicates[i];
        try {
            d.sameAs = SourcePathForImport(sources.path(d.sameAsRow));
        } catch (const std::exception&) {
            // The list changed since the import; the row still says which.
            d.sameAs = "row " + std::to_string(d.sameAsRow + 1);
        }
    }
}

void Conversion::closeStore(RunReport& report, Observer& observer) {
    if (!storeOpen()) return;
    try {
        store_->close();
    } catch (const std::exception& e) {
        if (report.closeError.empty()) report.closeError = e.what();
    }
    // A commit that failed took the messages imported since the one before
    // with it; they must not be reported as converted.
    const auto lost = std::min<int64_t>(int64_t(store_->uncommittedMessages()), partConverted_);
    report.lostUncommitted += lost;
    report.converted -= lost;
    std::error_code ec;
    uint64_t bytes = fs::file_size(store_->path(), ec);
    if (ec) bytes = 0;
    report.bytesOut += bytes;
    if (options_.splitSize == 0) return;
    report.parts.push_back(
        {store_->path().string(), store_->displayName(), partConverted_ - lost, bytes});
    if (bytes <= options_.splitSize) return;
    if (partConverted_ == 1) {
        addWarning(report, observer,
                   {partFirstPath_, "larger than the split size on its own: part " +
                                        std::to_string(part_) + " (" + std::to_string(bytes) +
                                        " bytes) holds it alone"});
    } else {
        addWarning(report, observer,
                   {store_->path().string(), "this part came to " + std::to_string(bytes) +
                                                 " bytes, more than the split size"});
    }
}

}  // namespace qm::convert
