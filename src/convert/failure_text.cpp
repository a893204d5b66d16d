#include "convert/failure_text.h"

#include "convert/run_time_error.h"
#include "outlook/automation_error.h"

namespace qm::convert {

std::string FailureText(const std::exception& e) {
    if (auto* a = dynamic_cast<const outlook::AutomationError*>(&e)) return a->description();
    if (auto* r = dynamic_cast<const RunTimeError*>(&e)) return r->description();
    return e.what();
}

}  // namespace qm::convert
