#include "convert/timestamp.h"

#include <ctime>

namespace qm::convert {
namespace {

std::string twoDigits(int v) {
    return std::string(1, char('0' + (v / 10) % 10)) + char('0' + v % 10);
}

}  // namespace

LocalTime LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string Timestamp(const LocalTime& t) {
    return std::to_string(t.day) + "." + std::to_string(t.month) + "." +
           twoDigits(((t.year % 100) + 100) % 100) + " " + std::to_string(t.hour) + "." +
           std::to_string(t.minute) + "." + twoDigits(t.second);
}

std::string StoreFileName(const std::string& timestamp) {
    return "OutlookMessages" + timestamp + ".pst";
}

std::string StoreDisplayName(const std::string& timestamp) {
    return std::string("Quillmark") + " : Created - " + timestamp;
}

}  // namespace qm::convert
