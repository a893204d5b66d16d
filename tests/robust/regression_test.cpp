// Inputs the fuzzers found that once crashed, hung or misbehaved a reader,
// replayed through it: data/*.msg through the MSG reader, data/*.pst through
// the PST checker and reader. Each must be read or refused with a qm::Error.
// Only inputs grown from our own writer's seeds are kept in data/; a case
// grown from a file we may not keep is rebuilt by a generator instead (the
// mutation tables of hostile_test.cpp).
#include <gtest/gtest.h>

#include "mapi/error.h"
#include "msg/msg.h"
#include "pst/read/checker.h"
#include "run_fixture.h"

namespace qm::testing {
namespace {

// Being read and being refused with a qm::Error are both answers.
template <typename F>
void readOrRefuse(F f) {
    try {
        f();
    } catch (const qm::Error&) {
    }
}

TEST(FuzzRegressions, EveryKeptInputIsReadOrRefused) {
    const fs::path data = QM_ROBUST_DATA_DIR;
    size_t replayed = 0;
    for (const auto& e : fs::directory_iterator(data)) {
        SCOPED_TRACE(e.path().filename().string());
        if (e.path().extension() == ".msg") {
            readOrRefuse([&] { (void)msg::readMsgFile(e.path()); });
        } else if (e.path().extension() == ".pst") {
            readOrRefuse([&] { (void)pst::read::checkFile(e.path()); });
            readOrRefuse([&] { (void)storedMessages(e.path()); });
        } else {
            continue;
        }
        ++replayed;
    }
    RecordProperty("replayed", int(replayed));
}

}  // namespace
}  // namespace qm::testing
