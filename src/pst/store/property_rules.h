// What the store does to a property on its way from a mapi::Message into
// the file: the properties the PST format owns (dropped from the input and,
// where the format needs them, computed by the store), named properties
// moved to the store's own ids, the subject's prefix marker, and the value
// sizes PidTagAttachSize adds up. docs/pst-format.md lists the same rules.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
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
// (ids 0x8000 and up) retagged with the store's id for their name. The
// properties taken are moved out of `bag` (a message's values are written
// once, so copying them was half the store's allocations); the store-owned
// ones stay in it.
// Throws qm::Error for a named property without its name, or when the
// name map is full.
std::vector<mapi::Property> storeProperties(mapi::PropertyBag& bag, ObjectKind kind,
                                            NameToIdMap& names);

// The prefix Outlook finds in a subject when none is given (the MAPI
// reference of PidTagNormalizedSubject; [MS-OXCMAIL] 2.2.3.2.6.1): one to
// three characters that are neither digits, blanks nor punctuation, then ": ".
// Returns the prefix with its ": ", or "" when the subject has none.
std::u16string derivedSubjectPrefix(std::u16string_view subject);

// For a message: PidTagSubject is stored as Outlook stores it ([MS-PST]
// 2.5.3: U+0001, prefix length + 1, then the subject), so readers recover
// prefix and normalized subject exactly. The prefix is PidTagSubjectPrefix
// when the input gave one that begins the subject; else the subject minus
// PidTagNormalizedSubject when the input gave one that ends it; else the
// prefix Outlook would derive (derivedSubjectPrefix). An empty subject, one
// already marked, or one read from a stream is left as it is.
// REQUIRES: the strings are Unicode (mapi::decodeString8 has run); `bag` is
// the input (it still has prefix and normalized subject), `props` the output
// of storeProperties().
void encodeSubject(const mapi::PropertyBag& bag, std::vector<mapi::Property>& props);

// Bytes a value counts for in PidTagAttachSize: fixed types their size
// (Boolean 1, Int32 4, Time 8, ...; multi-valued: count times size),
// strings and binaries their length, multi-valued variable types the sum of
// their items, objects the size of the object.
uint64_t valueSize(const mapi::Property& prop);

// The cells a table row gets from an object's properties: the properties
// themselves, limited, when `keep` is given, to the tags it accepts (a
// table's columns): a row needs a few dozen of a message's properties, and
// copying the rest is most of a small message's allocations. The store holds
// no 8-bit strings, so a row and its object agree in type and value.
std::vector<mapi::Property> rowCells(const std::vector<mapi::Property>& props,
                                     const std::function<bool(mapi::PropTag)>& keep = {});

const mapi::Property* findTag(const std::vector<mapi::Property>& props, mapi::PropTag tag);
void setTag(std::vector<mapi::Property>& props, mapi::Property p);

}  // namespace qm::pst::store
