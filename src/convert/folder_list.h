// The folder list: every store folder the run creates, each once, in an order
// where every folder comes after its parent (A, A\B, A\B\C).
#pragma once

#include "convert/string_list.h"

namespace qm::convert {

class Observer;

// Sorts and de-duplicates the relative folders of the rows (with one spare
// empty element after them), adds every leading sub-path, and sorts and
// de-duplicates again; yields to the observer between these steps.
void ExpandAndSortFolders(StringList& list, Observer* observer = nullptr);

}  // namespace qm::convert
