// How the reader reports what is wrong with a file. Reading throws at the
// first defect (qm::FormatError naming the file, structure and offset); the
// checker hands the same code a sink and gets one Finding per defect, the
// walk going on wherever it still can.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapi/error.h"

namespace qm::pst::read {

struct Finding {
    std::string where;  // "block 0x1234 at 0x5600", "folder 0x8082 'Inbox'"
    std::string what;
    std::string line() const { return where + ": " + what; }
};

class Problems {
  public:
    // Without a sink every problem throws.
    explicit Problems(std::string file, std::vector<Finding>* sink = nullptr)
        : file_(std::move(file)), sink_(sink) {}

    // Records the problem, or throws qm::FormatError when there is no sink.
    // Callers return (or skip the object) right after, so both modes agree.
    void add(const std::string& where, const std::string& what, int64_t offset = -1) const {
        if (!sink_) throw FormatError(file_, where, offset, what);
        sink_->push_back({where, what});
    }
    bool collecting() const { return sink_ != nullptr; }
    const std::string& file() const { return file_; }

  private:
    std::string file_;
    std::vector<Finding>* sink_;
};

// "0x1a2b" for messages.
std::string hex(uint64_t v);

}  // namespace qm::pst::read
