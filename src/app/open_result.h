// The Open dialog's result text, both ways: building it from the chosen paths
// (what the Qt dialog hands back) and splitting it into the paths to list.
//
// Form: one file is its full path; several files are the folder, then each
// name, separated by NUL characters; a final NUL may be present or not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shell/folder_service.h"

namespace qm::app {

// The full paths a result text names, in its order. With several names the
// folder is joined to each with `separator`, which is not doubled when the
// folder already ends with it (a root such as "/" or "C:\").
std::vector<std::string> ParseOpenResult(std::string text, char separator = shell::kPathSeparator);

// The result text for `paths` (all in one folder). Raises
// qm::NumberedError 20476 when the text, with the terminating NULs the
// dialog's buffer needs, is longer than `maxFileSize` characters.
// REQUIRES: paths is not empty; every path is absolute.
std::string BuildOpenResult(const std::vector<std::string>& paths, int32_t maxFileSize,
                            char separator = shell::kPathSeparator);

// The characters a result needs in the dialog's buffer: the text and its
// terminating NUL, plus a second NUL that ends a list of several names.
int64_t OpenResultRoom(const std::string& text, bool severalFiles);

// "description|pattern|..." as a Qt name filter ("description (pattern);;...").
std::string QtNameFilter(const std::string& filter);

}  // namespace qm::app
