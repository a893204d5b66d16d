// Imports the message of every row of the source list into the store folder
// that mirrors its file's folder, writes its message flags, saves it, and
// moves the captions and the overall progress bar on. Skip mode: a message
// that fails is not written, is counted in the report with its cause, and
// the next row follows.
#pragma once

#include <string>

#include "convert/host.h"
#include "convert/run_report.h"
#include "outlook/session.h"

namespace qm::convert {

// The flags word written whole: read, plus has-attachments exactly when the
// message has an attachment.
int32_t MessageFlagsFor(size_t attachmentCount);

// Stops after the current message when the host asks to stop (returns false
// then; true when every row was handled).
bool ImportMessages(Host& host, outlook::Session& session, const std::string& displayName,
                    RunReport& report);

}  // namespace qm::convert
