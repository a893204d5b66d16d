// The folder list's sort and de-duplication. The conversion sorts first and
// then removes neighbours: RemoveDuplicateStrings compares neighbours only.
//
// Strings are UTF-8; they compare by their UTF-16 code units (binary: no
// locale, no case folding), so "A" < "a", a prefix sorts before any longer
// string that starts with it, and "" sorts first. Hence x < x\y < x\y\z.
// Indexes are 64-bit and the sort's recursion is bounded by the logarithm of
// the range, so lists of any length sort.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::convert {

using StringList = std::vector<std::string>;

// Binary order of two UTF-8 strings by their UTF-16 code units.
bool BinaryLess(const std::string& a, const std::string& b);

// Sorts list[lo..hi] (inclusive) in place; elements outside are untouched.
// The pivot is the element at (lo + hi) / 2 rounded half to even.
// REQUIRES: lo and hi index the list; otherwise throws NumberedError 9
// (subscript out of range). Even an empty range (hi == lo - 1) reads list[lo]
// and list[hi], so sorting 0..-1 fails.
void SortStringRange(StringList& list, int64_t lo, int64_t hi);

// Keeps the non-empty elements in their order, dropping each element equal to
// its preceding neighbour. A list without any non-empty element becomes empty.
void RemoveDuplicateStrings(StringList& list);

}  // namespace qm::convert
