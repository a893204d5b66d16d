// Splitting a run's output into stores of bounded size (--split-size): the
// size a message will take in a store, and the names of the parts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mapi/message.h"

namespace qm::convert {

// The smallest part size: a new store alone takes about a quarter of it.
constexpr uint64_t kMinimumSplitSize = uint64_t(1) << 20;

// "10G", "700M", "2048K", "1073741824": a whole number with an optional K, M
// or G (powers of 1024, either case). nullopt for anything else, for 0, for
// less than kMinimumSplitSize and for what does not fit 64 bits.
std::optional<uint64_t> ParseSplitSize(std::string_view text);

// An upper bound of the bytes adding `message` makes a store allocate:
// every value of the message, its recipients and attachments (embedded
// messages included) plus the blocks, heaps, B-trees and subnodes around
// them. Deliberately generous: a part must not outgrow its size.
uint64_t EstimatedMessageBytes(const mapi::Message& message);

// An upper bound of what the message's row adds to its folder's contents
// table, which the store writes anew at the next commit while the old copy
// still holds its space.
uint64_t EstimatedTableRowBytes(const mapi::Message& message);

// Part `n` (from 2) of a store: "X.pst" -> "X (n).pst" (the suffix goes
// before the last extension, or at the end without one); display names take
// it at the end.
std::string PartFileName(const std::string& first, int n);
std::string PartDisplayName(const std::string& first, int n);

}  // namespace qm::convert
