#include "convert/folder_list.h"

#include "convert/conversion.h"

namespace qm::convert {
namespace {

void yieldTo(Observer* observer) {
    if (observer) observer->yield();
}

}  // namespace

void ExpandAndSortFolders(StringList& list, Observer* observer) {
    // The list arrives with one spare empty element after the folders; it
    // stays out of the first sort and is dropped with the duplicates.
    SortStringRange(list, 0, static_cast<int64_t>(list.size()) - 2);
    yieldTo(observer);
    RemoveDuplicateStrings(list);
    // Every leading sub-path of each entry, the entry itself last. The bound
    // is read once, so the added paths are not expanded again.
    const size_t upper = list.size();
    for (size_t j = 0; j < upper; ++j) {
        const std::string entry = list[j];
        size_t from = 0;
        for (;;) {
            const size_t bs = entry.find('\\', from);
            if (bs == std::string::npos) break;
            list.push_back(entry.substr(0, bs));
            from = bs + 1;
        }
        list.push_back(entry);
    }
    yieldTo(observer);
    // The last element is the greatest entry again; it needs no sorting.
    SortStringRange(list, 0, static_cast<int64_t>(list.size()) - 2);
    yieldTo(observer);
    RemoveDuplicateStrings(list);
}

}  // namespace qm::convert
