#include "outlook/message_prefetch.h"

#include <pthread.h>

#include <condition_variable>
#include <csignal>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "mapi/read_only_file.h"
#include "msg/msg.h"

namespace qm::outlook {
namespace {

namespace fs = std::filesystem;

struct Entry {
    std::string path;
    uint64_t bytes = 0;
    std::optional<mapi::Message> message;  // none: not a regular file when looked at
    std::exception_ptr error;              // what reading it raised, for Import to see
};

// The two threads wake each other only at the edges: the reader when the
// queue has drained to half (it then refills it in one go), the run when the
// queue it waits on gets its first entry. A wake-up per message cost about a
// tenth of the run's time in context switches.
class Prefetcher {
  public:
    explicit Prefetcher(MessagePrefetch::PathSource next) : next_(std::move(next)) {
        worker_ = std::thread([this] { run(); });
    }
    ~Prefetcher() {
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
        for (;;) {
            if (queue_.empty() && !finished_) {
                consumerWaiting_ = true;
                readyCv_.wait(lock, [&] { return !queue_.empty() || finished_; });
                consumerWaiting_ = false;
            }
            if (queue_.empty()) return std::nullopt;
            Entry e = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= e.bytes;
            if (workerWaiting_ && drained()) roomCv_.notify_one();
            if (e.path == path) return e;
            // Dropped: a row the run skipped before importing it.
        }
    }

  private:
    bool full() const {
        return queue_.size() >= MessagePrefetch::kMaxMessages ||
               queuedBytes_ >= MessagePrefetch::kMaxBytes;
    }
    bool drained() const {
        return queue_.size() <= MessagePrefetch::kMaxMessages / 2 &&
               queuedBytes_ <= MessagePrefetch::kMaxBytes / 2;
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
            std::string path;
            try {
                if (!next_(path)) break;
            } catch (const std::exception&) {
                // Only the read-ahead ends here: the run walks the same
                // folders itself and reports what fails for its rows, and
                // reads those messages without this thread.
                break;
            }
            Entry e;
            e.path = std::move(path);
            // As Import: a FIFO or a device is never opened.
            if (const auto size = regularFileSize(e.path)) {
                e.bytes = *size;
                try {
                    e.message = msg::readMsgFile(fs::path(e.path));
                } catch (...) {
                    // Not handled here: Import rethrows it as its own read would have.
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

    MessagePrefetch::PathSource next_;  // called on the worker's thread only
    std::mutex mu_;
    std::condition_variable readyCv_;  // the run waits for an entry
    std::condition_variable roomCv_;   // the reader waits for room
    std::deque<Entry> queue_;
    uint64_t queuedBytes_ = 0;
    bool consumerWaiting_ = false;
    bool workerWaiting_ = false;
    bool finished_ = false;
    bool stop_ = false;
    std::thread worker_;
};

std::unique_ptr<Prefetcher>& current() {
    static std::unique_ptr<Prefetcher> p;
    return p;
}

}  // namespace

void MessagePrefetch::start(PathSource next) {
    stop();
    current() = std::make_unique<Prefetcher>(std::move(next));
}

void MessagePrefetch::start(std::vector<std::string> paths) {
    auto list = std::make_shared<const std::vector<std::string>>(std::move(paths));
    start([list, i = size_t(0)](std::string& path) mutable {
        if (i == list->size()) return false;
        path = (*list)[i++];
        return true;
    });
}

void MessagePrefetch::stop() {
    current().reset();
}

std::optional<mapi::Message> MessagePrefetch::take(const std::string& path) {
    auto& p = current();
    if (!p) return std::nullopt;
    std::optional<Entry> e = p->take(path);
    if (!e) {
        // Out of step with the run: read directly from here on.
        stop();
        return std::nullopt;
    }
    if (e->error) std::rethrow_exception(e->error);
    return std::move(e->message);
}

}  // namespace qm::outlook
