// Files made of builder output, read by the reader's strict checker.
#include <gtest/gtest.h>

#include "ltp_test_util.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/read/checker.h"

namespace qm::pst::ltp {
namespace {

using testing::Scratch;

TEST(LtpValidators, CheckerFindsNoLtpDefects) {
    Scratch s;
    PropertyContextBuilder pc(*s.w);
    pc.set(mapi::Property::utf8(mapi::makeTag(0x3001, mapi::PT_UNICODE), "Store"));
    s.put(0x21, pc.build());
    TableContextBuilder tc(*s.w, {mapi::makeTag(0x3001, mapi::PT_UNICODE)});
    for (uint32_t i = 1; i <= 2000; ++i)
        tc.addRow(i << 5 | 4,
                  std::vector<mapi::Property>{mapi::Property::utf8(
                      mapi::makeTag(0x3001, mapi::PT_UNICODE), "row " + std::to_string(i))});
    s.put(ndb::makeNid(ndb::NID_TYPE_INTERNAL, 0x500), tc.flush());
    s.commitAndRead();
    s.w->close();
    auto report = read::checkFile(s.path);
    for (const auto& f : report.findings) {
        // A file of loose nodes is no message store; only structure counts here.
        bool messaging = f.where.find("store") != std::string::npos ||
                         f.where.find("folder") != std::string::npos ||
                         f.where.find("name") != std::string::npos ||
                         f.where.find("0x") == std::string::npos;
        if (!messaging) ADD_FAILURE() << f.line();
    }
}

}  // namespace
}  // namespace qm::pst::ltp
