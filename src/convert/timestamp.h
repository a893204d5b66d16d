// The names a run gives its store: the file "OutlookMessages<ts>.pst" and the
// display name "Quillmark : Created - <ts>", where <ts> is the local time in
// the picture "d.m.YY H.m.ss" (6 December 2026 03:44:08 -> "6.12.26 3.44.08").
#pragma once

#include <functional>
#include <string>

namespace qm::convert {

struct LocalTime {
    int year = 2000;  // full year
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;   // 0..59
    int second = 0;   // 0..59
};

// Where a run reads the time; tests inject a fixed one.
using Clock = std::function<LocalTime()>;
LocalTime LocalNow();

// d, m, H and m without leading zeros; YY and ss always two digits.
std::string Timestamp(const LocalTime& t);
std::string StoreFileName(const std::string& timestamp);
std::string StoreDisplayName(const std::string& timestamp);

}  // namespace qm::convert
