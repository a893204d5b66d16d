// Reading the next messages of a run on a second thread while the store
// writes the current one: parsing is about a third of a small message's time
// and writing the rest, and the machines have two cores.
//
// Nothing observable changes: the run still imports in source-list order and
// MailItem::Import still checks the path itself first; it only takes the
// message (or the very error its read raised) from here instead of reading
// the file. Only the command line starts a prefetch; the window never does,
// so its run, order and yields stay exactly as they are.
//
// The worker opens only regular files (as Import does), stays at most
// kMaxMessages and kMaxBytes of files ahead (refilling from half), and
// blocks SIGINT and SIGTERM so that they reach the main thread. It takes its paths one at a time
// from a source (the command line walks its folders again for it), so a run of any length holds
// only what is queued.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mapi/message.h"

namespace qm::outlook {

class MessagePrefetch {
  public:
    static constexpr size_t kMaxMessages = 16;
    static constexpr uint64_t kMaxBytes = uint64_t(64)
                                          << 20;  // file sizes; large values stay in their file

    // Sets `path` to the next path to read and returns true, or returns
    // false at the end. Called on the worker thread only; a std::exception
    // it throws ends the prefetch's list there (the run's own reads then
    // carry on without it).
    using PathSource = std::function<bool(std::string& path)>;

    // Starts reading the paths `next` gives, in that order. A prefetch
    // already running is stopped first.
    static void start(PathSource next);
    static void start(std::vector<std::string> paths);
    // Stops and joins the worker; what it read and nobody took is dropped.
    static void stop();

    // The message read from `path` if the prefetch holds it: the entries
    // before it (rows the run skipped) are dropped, waiting for the worker as
    // needed. Rethrows the exception the read raised. nullopt when no
    // prefetch runs or `path` is not among the paths still ahead (found out
    // by going through them; the prefetch then stops: the caller reads the
    // file itself).
    // REQUIRES: called from one thread, the one that called start().
    static std::optional<mapi::Message> take(const std::string& path);
};

}  // namespace qm::outlook
