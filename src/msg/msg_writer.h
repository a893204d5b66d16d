// Lays a mapi::Message out as .msg storages in a CompoundFileWriter.
//
// Strings are written as they are held (PT_UNICODE without terminator, size
// field + 2; PT_STRING8 size + 1); variable-size multi-valued elements carry
// their terminator, as the length stream counts it. Named properties get
// local ids 0x8000 up in order of first use across the whole message tree
// (embedded messages share the top-level map). An embedded message replaces
// any PidTagAttachDataObject in its attachment's bag; a PT_OBJECT value is
// a standalone compound file grafted in as a storage.
#pragma once

#include "mapi/message.h"
#include "msg/compound_file_writer.h"

namespace qm::msg {

// Throws qm::FormatError when a PT_OBJECT value is not a compound file, and
// std::length_error past the format's limits.
void layOutMessage(const mapi::Message& message, CompoundFileWriter& cfw);

}  // namespace qm::msg
