// The folder list: every store folder the run creates, each once, in an order
// where every folder comes after its parent (A, A\B, A\B\C).
#pragma once

#include "convert/host.h"
#include "convert/string_list.h"

namespace qm::convert {

// Derives the relative folder of every row of the host's source list, sorts
// and de-duplicates them, adds every leading sub-path, and sorts and
// de-duplicates again; yields to the host between these steps.
// Throws RunTimeError for a row whose relative folder cannot be derived
// (an empty row, a network path, a file in a root folder).
void BuildFolderList(Host& host, StringList& list);

// The pure part: the same list from relative folders already derived.
void ExpandAndSortFolders(StringList& list, Host* host = nullptr);

}  // namespace qm::convert
