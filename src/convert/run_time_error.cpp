#include "convert/run_time_error.h"

namespace qm::convert {

RunTimeError::RunTimeError(int number, std::string description)
    : qm::Error("Error " + std::to_string(number) + ": " + description),
      number_(number),
      description_(std::move(description)) {}

}  // namespace qm::convert
