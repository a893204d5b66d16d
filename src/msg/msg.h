// Reading and writing Outlook .msg files ([MS-OXMSG] inside [MS-CFB]).
// The public face of the msg layer; the compound-file machinery is behind it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

#include "mapi/message.h"

namespace qm::msg {

// Reads every property of the message, its recipients and attachments
// (embedded messages recursively). Values larger than a few MiB stay in the
// file and are read on demand through mapi::Property::stream, which keeps
// the file open while any such value lives.
// Damage is read past where something is left to read: a broken recipient,
// attachment, embedded message or value is dropped, a PidTagRtfCompressed
// header that disagrees with whole data is rewritten, and each such step is
// a sentence in the top-level message's `warnings` (naming what and where).
// Throws qm::FormatError (naming the file, the structure and the offset)
// only when the file's header or its top-level property stream cannot be
// read, and qm::IoError when the file cannot be read.
mapi::Message readMsgFile(const std::filesystem::path& path);
mapi::Message readMsg(std::span<const uint8_t> data, const std::string& name = "<memory>");

struct WriteOptions {
    uint32_t sectorSize = 512;  // 512 (version 3) or 4096 (version 4)
};

// Writes a message as a .msg file. Named properties are written through
// __nameid_version1.0; streamed values are copied in pieces.
void writeMsgFile(const mapi::Message& message, const std::filesystem::path& path,
                  const WriteOptions& options = {});
Bytes writeMsg(const mapi::Message& message, const WriteOptions& options = {});
// The same file handed to `sink` piece by piece, in order (large streamed
// values are never held whole); for callers that own the file they write.
void writeMsg(const mapi::Message& message,
              const std::function<void(std::span<const uint8_t>)>& sink,
              const WriteOptions& options = {});

}  // namespace qm::msg
