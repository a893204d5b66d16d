// The texts of the run's message boxes.
#pragma once

#include "app/run_host.h"
#include "convert/run_report.h"

namespace qm::app {

inline constexpr const char* kProgramTitle = "Quillmark MSG to PST Converter";
inline constexpr const char* kDestinationTitle = "Choose Folder to Save...";
// Microsoft's own article on creating and configuring an Outlook profile
// (what "installed and configured" comes down to); Microsoft links it for
// exactly that from its mail-profile troubleshooting pages.
inline constexpr const char* kOutlookSetupArticle =
    "https://support.microsoft.com/office/"
    "create-an-outlook-profile-f544c1ba-3352-4b3b-be0b-8d42a540459d";

// The three fixed lines, title "Outlook Error", information icon; the cause
// goes into the detailed text.
MessageBoxSpec TrappedErrorBox(const std::string& cause);

// The box that ends a run: the .pst and its folder and the counts; a warning
// icon, and every failed file with its cause and every warning in the
// detailed text, when some failed or warned.
MessageBoxSpec EndOfRunBox(const convert::RunReport& report);

}  // namespace qm::app
