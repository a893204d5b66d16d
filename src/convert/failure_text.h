// The plain-words cause of a failure, for reports and detailed texts.
#pragma once

#include <exception>
#include <string>

namespace qm::convert {

// The description of an automation or run-time error (without its number
// prefix when the description says enough), else what() of the exception.
std::string FailureText(const std::exception& e);

}  // namespace qm::convert
