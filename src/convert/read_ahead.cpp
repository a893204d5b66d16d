#include "convert/read_ahead.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "mapi/read_only_file.h"

namespace qm::convert {
namespace {

namespace fs = std::filesystem;

struct Entry {
    std::string path;
    uint64_t bytes = 0;
    std::optional<mapi::Message> message;  // none: not a regular file when looked at
    std::exception_ptr error;              // what reading it raised, for the run to see
};

// Asks the kernel to start reading a file the worker will soon read. Files
// not in the page cache were otherwise fetched one at a time, each read
// waiting on the disk; with the next few asked for, the disk works on them
// while this thread parses. Only regular files are opened, as in the run.
void hintWillNeed(const std::string& path) {
    if (!regularFileSize(path)) return;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
    }
    ::close(fd);
}

// What a parsed message holds in memory, roughly: its values and a fixed
// cost per property. A value left in its file counts nothing here; the
// file's own size is counted beside it.
uint64_t heldBytes(const mapi::PropertyBag& bag) {
    uint64_t n = 0;
    for (const mapi::Property& p : bag) {
        n += sizeof(mapi::Property) + p.value.size();
        for (const Bytes& item : p.items) n += sizeof(Bytes) + item.size();
    }
    return n;
}

uint64_t heldBytes(const mapi::Message& m) {
    uint64_t n = heldBytes(m.props);
    for (const mapi::Recipient& r : m.recipients) n += heldBytes(r.props);
    for (const mapi::Attachment& a : m.attachments) {
        n += heldBytes(a.props);
        if (a.embedded) n += heldBytes(*a.embedded);
    }
    return n;
}

// The two threads wake each other only at the edges: the reader when the
// queue has drained to half (it then refills it in one go), the run when the
// queue it waits on gets its first entry. A wake-up per message cost about a
// tenth of the run's time in context switches.
class Queue {
  public:
    Queue(ReadAhead::PathSource next, ReadAhead::Read read)
        : next_(std::move(next)), read_(std::move(read)) {
        worker_ = std::thread([this] { run(); });
    }
    ~Queue() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        roomCv_.notify_all();
        worker_.join();
    }

    // The entry read for the first path from the consumer's position that
    // is `path`; nullopt when there is none.
    std::optional<Entry> take(const std::string& path) {
        std::unique_lock<std::mutex> lock(mu_);
        // The run asks for the next message once it is done with the last.
        queuedBytes_ -= takenBytes_;
        takenBytes_ = 0;
        if (workerWaiting_ && drained()) roomCv_.notify_one();
        for (;;) {
            if (queue_.empty() && !finished_) {
                consumerWaiting_ = true;
                readyCv_.wait(lock, [&] { return !queue_.empty() || finished_; });
                consumerWaiting_ = false;
            }
            if (queue_.empty()) return std::nullopt;
            Entry e = std::move(queue_.front());
            queue_.pop_front();
            const bool wanted = e.path == path;
            if (wanted) {
                takenBytes_ = e.bytes;
            } else {
                queuedBytes_ -= e.bytes;  // a row the run skipped before importing it: dropped
            }
            if (workerWaiting_ && drained()) roomCv_.notify_one();
            if (wanted) return e;
        }
    }

  private:
    bool full() const {
        return queue_.size() >= ReadAhead::kMaxMessages || queuedBytes_ >= ReadAhead::kMaxBytes;
    }
    bool drained() const {
        return queue_.size() <= ReadAhead::kMaxMessages / 2 &&
               queuedBytes_ <= ReadAhead::kMaxBytes / 2;
    }

    void run() {
        // Stop signals are the main thread's to handle.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mu_);
                if (full() && !stop_) {
                    workerWaiting_ = true;
                    roomCv_.wait(lock, [&] { return stop_ || drained(); });
                    workerWaiting_ = false;
                }
                if (stop_) return;
            }
            while (!sourceDone_ && ahead_.size() < ReadAhead::kHinted) {
                std::string next;
                try {
                    if (!next_(next)) {
                        sourceDone_ = true;
                        break;
                    }
                } catch (const std::exception&) {
                    // Only the read-ahead ends here: the run walks the same
                    // folders itself and reports what fails for its rows,
                    // and reads those messages without this thread.
                    sourceDone_ = true;
                    break;
                }
                hintWillNeed(next);
                ahead_.push_back(std::move(next));
            }
            if (ahead_.empty()) break;
            Entry e;
            e.path = std::move(ahead_.front());
            ahead_.pop_front();
            // As the run: a FIFO or a device is never opened.
            if (const auto size = regularFileSize(e.path)) {
                e.bytes = *size;
                try {
                    e.message = read_(e.path);
                    e.bytes += heldBytes(*e.message);
                } catch (...) {
                    // Not handled here: take() rethrows it as the run's own read would have.
                    e.error = std::current_exception();
                }
            }
            bool wake = false;
            {
                std::lock_guard<std::mutex> lock(mu_);
                queuedBytes_ += e.bytes;
                queue_.push_back(std::move(e));
                wake = consumerWaiting_;
            }
            if (wake) readyCv_.notify_one();
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            finished_ = true;
        }
        readyCv_.notify_all();
    }

    ReadAhead::PathSource next_;  // called on the worker's thread only
    // Paths taken from next_ and hinted to the kernel, not yet read.
    std::deque<std::string> ahead_;
    bool sourceDone_ = false;  // next_ said there are no more, or failed
    ReadAhead::Read read_;
    std::mutex mu_;
    std::condition_variable readyCv_;  // the run waits for an entry
    std::condition_variable roomCv_;   // the reader waits for room
    std::deque<Entry> queue_;
    uint64_t queuedBytes_ = 0;
    // The message the run took last, counted until it asks for the next: a
    // big message being written beside a queue full of big ones made the
    // highest memory of a run, and a long run met that moment more often.
    uint64_t takenBytes_ = 0;
    bool consumerWaiting_ = false;
    bool workerWaiting_ = false;
    bool finished_ = false;
    bool stop_ = false;
    std::thread worker_;
};

}  // namespace

class ReadAhead::Worker : public Queue {
    using Queue::Queue;
};

ReadAhead::ReadAhead(PathSource next, Read read)
    : worker_(std::make_unique<Worker>(std::move(next), std::move(read))) {}

ReadAhead::~ReadAhead() = default;

std::optional<mapi::Message> ReadAhead::take(const std::string& path) {
    if (!worker_) return std::nullopt;
    std::optional<Entry> e = worker_->take(path);
    if (!e) {
        // Out of step with the run: read directly from here on.
        worker_.reset();
        return std::nullopt;
    }
    if (e->error) std::rethrow_exception(e->error);
    return std::move(e->message);
}

}  // namespace qm::convert
