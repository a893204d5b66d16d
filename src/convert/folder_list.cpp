#include "convert/folder_list.h"

#include "convert/relative_folder.h"

namespace qm::convert {
namespace {

void yieldTo(Host* host) {
    if (host) host->DoEvents();
}

}  // namespace

void ExpandAndSortFolders(StringList& list, Host* host) {
    // The list arrives with one spare empty element after the folders; it
    // stays out of the first sort and is dropped with the duplicates.
    SortStringArray(list, 0, static_cast<int64_t>(list.size()) - 2);
    yieldTo(host);
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
    yieldTo(host);
    // The last element is the greatest entry again; it needs no sorting.
    SortStringArray(list, 0, static_cast<int64_t>(list.size()) - 2);
    yieldTo(host);
    RemoveDuplicateStrings(list);
}

void BuildFolderList(Host& host, StringList& list) {
    const int64_t rows = host.Rows();
    list.clear();
    for (int64_t i = 0; i < rows; ++i) {
        host.SetCurrentCell(i, 0);
        std::string folder = GetRelativeFolder(host.Text());
        // The messages of one folder are listed together, so most rows repeat
        // the row before; the sort and de-duplication below would drop those
        // copies anyway, and keeping them costs memory in every row.
        if (!list.empty() && list.back() == folder) continue;
        list.push_back(std::move(folder));
    }
    list.emplace_back();  // the spare element ExpandAndSortFolders expects
    ExpandAndSortFolders(list, &host);
}

}  // namespace qm::convert
