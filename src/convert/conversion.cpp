#include "convert/conversion.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>

#include "convert/folder_list.h"
#include "convert/read_ahead.h"
#include "convert/relative_folder.h"
#include "mapi/error.h"
#include "mapi/read_only_file.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "msg/msg.h"
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
// never end.
void requireRegularFile(const std::string& path) {
    std::error_code ec;
    const auto kind = fs::status(fs::path(path), ec).type();
    if (kind == fs::file_type::regular) return;
    throw Error(path +
                (kind == fs::file_type::not_found ? ": no such file" : ": not a regular file"));
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
        return report;
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
    observer.yield();
    closeStore(report);
    return finish(complete ? RunOutcome::Completed : RunOutcome::Stopped);
}

void Conversion::openStore(RunReport& report) {
    const std::string timestamp = Timestamp(options_.clock());
    const std::string path = options_.storeFile.empty()
                                 ? options_.destination + StoreFileName(timestamp)
                                 : options_.storeFile;
    const std::string displayName = StoreDisplayName(timestamp);
    std::error_code ec;
    if (fs::symlink_status(fs::path(path), ec).type() != fs::file_type::not_found && !ec) {
        throw Error("\"" + path + "\" already exists; it is never overwritten");
    }
    store_ = pst::Store::create(fs::path(path), displayName);
    report.displayName = displayName;
    report.pstPath = path;
    report.storeCreated = true;
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
                if (!folder.valid || folder.path != outcome.storeFolder) {
                    const auto nid = pst::findFolderByPath(*store_, outcome.storeFolder);
                    if (!nid) {
                        throw Error("no folder \"" + outcome.storeFolder + "\" in the store \"" +
                                    store_->displayName() + "\"");
                    }
                    folder = {outcome.storeFolder, *nid, true};
                }
                report.bytesIn += regularFileSize(outcome.path).value_or(0);
                requireRegularFile(outcome.path);
                std::optional<mapi::Message> message;
                if (ahead) message = ahead->take(outcome.path);
                if (!message) {
                    message =
                        readDecoded(*options_.reader, outcome.path, options_.fallbackCodePage);
                }
                for (const auto& w : message->warnings) {
                    report.warnings.push_back({outcome.path, w});
                    observer.warning(report.warnings.back());
                }
                message->props.set(mapi::Property::int32(
                    mapi::tag::MessageFlags, MessageFlagsFor(message->attachments.size())));
                try {
                    store_->addMessage(folder.nid, *message);
                } catch (const std::exception& e) {
                    throw Error(std::string("writing it into the store failed: ") + e.what());
                }
                ++report.converted;
                outcome.converted = true;
            } catch (const std::exception& e) {
                outcome.reason = e.what();
            }
        }
        if (!outcome.converted) {
            report.failed.push_back(
                {rowRead ? outcome.path : "row " + std::to_string(i + 1), outcome.reason});
        }
        ++report.messages;
        observer.messageDone(outcome);
        if (observer.stopRequested() && i + 1 < rows) return false;
    }
    return true;
}

void Conversion::closeStore(RunReport& report) {
    try {
        store_->close();
    } catch (const std::exception& e) {
        report.closeError = e.what();
    }
    // A commit that failed took the messages imported since the one before
    // with it; they must not be reported as converted.
    const auto lost = std::min<int64_t>(int64_t(store_->uncommittedMessages()), report.converted);
    report.lostUncommitted = lost;
    report.converted -= lost;
    std::error_code ec;
    report.bytesOut = fs::file_size(fs::path(report.pstPath), ec);
    if (ec) report.bytesOut = 0;
}

}  // namespace qm::convert
