// Start-up: the Qt counterpart of binding the process to themed common
// controls. Order: SetApplicationAttributes before the QApplication exists;
// InitCommonControls after it and before any widget; then the window.
#pragma once

namespace qm::app {

// Application attributes and the font fallback rules; must run before the
// QApplication is constructed.
void SetApplicationAttributes();

// The style, and Tahoma for the window's controls; runs once before any widget
// exists. Checks nothing and reports nothing: a missing font falls back.
void InitCommonControls();

// The program: creates frmStep1, shows it and runs the event loop until the
// window is unloaded. Returns the event loop's exit code.
int RunQuillmark(int argc, char** argv);

}  // namespace qm::app
