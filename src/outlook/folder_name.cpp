#include "outlook/folder_name.h"

#include "mapi/codepage.h"
#include "pst/store/folder.h"

namespace qm::outlook {

std::u16string FolderNameKey(const std::string& name) {
    return pst::store::foldCase(mapi::fromUtf8(name));
}

bool FolderNamesEqual(const std::string& a, const std::string& b) {
    return a == b || FolderNameKey(a) == FolderNameKey(b);
}

}  // namespace qm::outlook
