// The texts of the run's message boxes.
#pragma once

#include "app/run_host.h"
#include "convert/run_report.h"

namespace qm::app {

inline constexpr const char* kProgramTitle = "Quillmark MSG to PST Converter";
inline constexpr const char* kDestinationTitle = "Choose Folder to Save...";
// Where a run was trapped: closing the store an earlier run left open, or
// making this run's store and its folder list.
enum class TrappedAt { EarlierStore, NewStore };

// The trapped-mode box (title "Outlook Error", information icon): its text
// names the cause in plain words and what to do; the details hold the whole
// cause.
MessageBoxSpec TrappedErrorBox(const convert::RunReport& report, TrappedAt at);

// The box that ends a run: the .pst and its folder and the counts; a warning
// icon, and every failed file with its cause and every warning in the
// detailed text, when some failed or warned.
MessageBoxSpec EndOfRunBox(const convert::RunReport& report);

}  // namespace qm::app
