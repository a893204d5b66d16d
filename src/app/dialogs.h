// Dialogs: the one seam through which the window asks the user anything. Every
// message box, the Open dialog and the folder dialog go through it, so tests
// script the answers (a fake) while the program shows Qt's dialogs.
//
// Texts are handed over exactly as the program builds them, line breaks as
// "\r\n"; an implementation that shows them turns those into its own breaks.
#pragma once

#include <cstdint>
#include <string>

namespace qm::app {

enum class Buttons { OK, YesNo };
enum class Icon { None, Question, Exclamation, Information, Critical };
enum class Answer { OK, Yes, No };

// The Open dialog's settings, set afresh before every showing, and its result.
struct CommonDialog {
    std::string FileName;  // in: the name box's start text; out: the result text
    std::string Filter;    // "description|pattern" pairs, "|"-separated
    int32_t Flags = 0;     // OFN_* bits
    int32_t MaxFileSize = 256;
};

inline constexpr int32_t kOfnAllowMultiSelect = 0x200;
inline constexpr int32_t kOfnExplorer = 0x80000;

// The dialog's error for a selection longer than MaxFileSize allows.
inline constexpr int kErrFileNameBufferTooSmall = 20476;

class Dialogs {
  public:
    virtual ~Dialogs() = default;

    // A modal message box; returns the button pressed. `details` is extra text
    // a user may unfold (empty for none).
    virtual Answer MsgBox(const std::string& text, const std::string& title, Buttons buttons,
                          Icon icon, const std::string& details = {}) = 0;

    // The modal Open dialog. Returns the result text: dialog.FileName unchanged
    // on Cancel; one file as its full path; several files as the folder, then
    // each name, NUL-separated. Raises qm::NumberedError 20476 (and
    // returns nothing) when the selection does not fit in MaxFileSize
    // characters.
    virtual std::string ShowOpen(const CommonDialog& dialog) = 0;

    // The modal folder picker: the folder's path, no separator added (the
    // root keeps its own), or "" on Cancel or any failure. Never raises.
    virtual std::string BrowseFolder(const std::string& title) = 0;
};

}  // namespace qm::app
