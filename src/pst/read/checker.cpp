#include "pst/read/checker.h"

#include "pst/read/check_internal.h"

namespace qm::pst::read {

CheckReport checkFile(const std::filesystem::path& path) {
    CheckReport report;
    auto db = NodeDatabase::open(path, Problems(path.string(), &report.findings));
    check::Checker c(db, report);
    c.checkHeader();
    c.checkBlocks();
    c.checkReferences();
    if (c.regions() > 0) {
        c.checkMaps();
        c.checkDensityList();
    }
    c.checkNodes();
    c.checkMessaging();
    return report;
}

}  // namespace qm::pst::read
