// Turns the storages of a .msg compound file into a mapi::Message.
//
// Trusts the storages, not the counts: recipients and attachments are the
// __recip/__attach storages that exist, in suffix order. A property entry
// without its stream is absent (with a warning); a stream without an entry
// is ignored. Damage below the top-level property stream drops what it hits
// (a value, a recipient, an attachment, the names of named properties) and
// is described in the top-level message's `warnings`; PidTagRtfCompressed
// goes through repairRtfHeader (msg/rtf_header.h).
// Values keep their wire form (mapi/property.h); Unicode strings lose
// trailing NULs and an odd last byte, and lone surrogates become U+FFFD.
#pragma once

#include <memory>

#include "mapi/message.h"
#include "msg/compound_file_reader.h"

namespace qm::msg {

struct MsgReadOptions {
    // Leave binary values of kStreamThreshold bytes or more in the file
    // (Property::stream). Only for readers over a source that outlives them.
    bool streamLargeValues = true;
};

mapi::Message readMessage(std::shared_ptr<CompoundFileReader> cfb, const MsgReadOptions& options);

}  // namespace qm::msg
