// The order every walk lists a folder's entries in, whatever order the file
// system hands them out: case-insensitive name order, as the listing is on
// the platform the window was first made for. Names are compared ordinally
// on their upper-cased code points, ties broken by the exact bytes, so two
// different names never compare equal and one tree always gives one order.
//
// Upper-casing is UTF-8 aware for what decodes: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic lower-case letters map to their simple
// upper case (a fixed table, not the process locale, so the order is the same
// on every machine); any other code point stays as it is. A byte that is not
// part of a valid UTF-8 sequence counts as itself, after every code point.
#pragma once

#include <string>
#include <vector>

namespace qm::shell {

// True when `a` comes before `b` in name order.
bool NameOrderLess(const std::string& a, const std::string& b);

// Sorts names into name order, in place.
void SortByName(std::vector<std::string>& names);

}  // namespace qm::shell
