// Reading the next messages of a run on a second thread while the store
// writes the current one: parsing is about a third of a small message's time
// and writing the rest, and the machines have two cores.
//
// Nothing observable changes: the run still imports in list order and checks
// each path itself first; it only takes the message (or the very error its
// read raised) from here instead of reading the file.
//
// The worker opens only regular files, stays at most kMaxMessages and
// kMaxBytes ahead (refilling from half), with kHinted paths beyond,
// and blocks SIGINT and SIGTERM so that they reach the main thread. It takes
// its paths one at a time from a cursor, so a run of any length holds only
// what is queued.
//
// Real mail varies far more than generated messages in what a message costs
// to read: with 16 queued, runs of costly ones emptied the queue and the
// store waited for the reader for up to a fifth of a run; with 32 it seldom
// waits. Uniform generated messages run the same either way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "mapi/message.h"

namespace qm::convert {

class ReadAhead {
  public:
    static constexpr size_t kMaxMessages = 32;
    // Counted as each file's size plus what its parsed message holds in
    // memory (large values stay in their file), the message the run took
    // last included until it asks for the next. A big message parses to
    // several times its file size: at 64 MiB of file sizes, ten copies of a
    // 2 MB message with a thousand recipients queued together made the peak
    // memory of a run depend on when the store fell behind.
    static constexpr uint64_t kMaxBytes = uint64_t(16) << 20;
    // Paths taken beyond the queue, whose files the kernel is asked to start
    // reading (posix_fadvise WILLNEED): a run over files not in the page
    // cache otherwise waited on the disk for each file in turn (10,000 real
    // messages read cold: 3.6 s -> 2.4 s, as fast as a plain copy).
    static constexpr size_t kHinted = 8;

    // Sets `path` to the next path to read and returns true, or returns
    // false at the end. Called on the worker thread only; a std::exception
    // it throws ends the read-ahead there (the run's own reads then carry on
    // without it).
    using PathSource = std::function<bool(std::string& path)>;
    // Reads one message; called on the worker thread.
    using Read = std::function<mapi::Message(const std::string& path)>;

    // Starts reading the paths `next` gives, in that order.
    ReadAhead(PathSource next, Read read);
    // Stops and joins the worker; what it read and nobody took is dropped.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The message read from `path` if the worker holds it: the entries
    // before it (rows the run skipped) are dropped, waiting for the worker
    // as needed. Rethrows the exception the read raised. nullopt when `path`
    // is not among the paths still ahead (found out by going through them;
    // the worker then stops and every later call gives nullopt: the caller
    // reads the file itself).
    // REQUIRES: called from one thread.
    std::optional<mapi::Message> take(const std::string& path);

  private:
    class Worker;
    std::unique_ptr<Worker> worker_;
};

}  // namespace qm::convert
