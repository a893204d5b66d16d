// What the store does to a property on its way from a mapi::Message into
// the file: the properties the PST format owns (dropped from the input and,
// where the format needs them, computed by the store), named properties
// moved to the store's own ids, the subject's prefix marker, and the value
// sizes PidTagAttachSize adds up. docs/pst-format.md lists the same rules.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "mapi/property.h"
#include "pst/store/name_to_id_map.h"

namespace qm::pst::store {

enum class ObjectKind { Message, Recipient, Attachment };

// True for a property the store computes or the format derives on reading
// (entry ids, record and instance keys, object type, sizes, row ids, the
// subject prefix and normalized subject, has-attachments, store masks).
// Such a property in the input is dropped.
bool isStoreOwned(mapi::PropTag tag, ObjectKind kind);

// The properties of one object as they go into the file: store-owned ones
// dropped, PT_NULL/PT_UNSPECIFIED dropped (they carry no value), named ones
// (ids 0x8000 and up) retagged with the store's id for their name. Values
// are shared, not copied, for streamed properties.
// Throws qm::Error for a named property without its name, or when the
// name map is full.
std::vector<mapi::Property> storeProperties(const mapi::PropertyBag& bag, ObjectKind kind,
                                            NameToIdMap& names);

// For a message: when PidTagSubjectPrefix came with the subject and is a
// prefix of it, the subject is rewritten with the 0x01 marker and length
// Outlook stores ([MS-PST] 2.5.3: 0x01, prefix length + 1, prefix, rest), so
// readers recover prefix and normalized subject exactly. Works on both
// PT_UNICODE and PT_STRING8 subjects. `bag` is the input (it still has the
// prefix); `props` the output of storeProperties().
void encodeSubject(const mapi::PropertyBag& bag, std::vector<mapi::Property>& props);

// Bytes a value counts for in PidTagAttachSize: fixed types their size
// (Boolean 1, Int32 4, Time 8, ...; multi-valued: count times size),
// strings and binaries their length, multi-valued variable types the sum of
// their items, objects the size of the object.
uint64_t valueSize(const mapi::Property& prop);

// The cells a table row gets from an object's properties: the properties
// themselves, plus, for each PT_STRING8 value whose PT_UNICODE twin is
// absent, the twin decoded with `codePage` (tables of a Unicode store
// answer in Unicode). `keep`, when given, limits the cells to the tags it
// accepts (a table's columns): a row needs a few dozen of a message's
// properties, and copying the rest is most of a small message's allocations.
std::vector<mapi::Property> rowCells(const std::vector<mapi::Property>& props, int codePage,
                                     const std::function<bool(mapi::PropTag)>& keep = {});

const mapi::Property* findTag(const std::vector<mapi::Property>& props, mapi::PropTag tag);
void setTag(std::vector<mapi::Property>& props, mapi::Property p);

}  // namespace qm::pst::store
