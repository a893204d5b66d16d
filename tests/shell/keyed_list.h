// KeyedList: an ordered, append-only list of values, each with a unique text
// key, read by position (from 1) or by key. The folder walker hands its lists
// out as shared references, so a caller keeps a list, entries and all, after
// the walker has let go of it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "mapi/error.h"

namespace qm::shell {

template <class V>
class KeyedList {
  public:
    int32_t Count() const { return static_cast<int32_t>(values_.size()); }

    // REQUIRES: key is not yet in the list; otherwise raises the duplicate-key
    // error and the list is left exactly as it was.
    void Add(V value, std::string key) {
        if (index_.contains(key)) {
            throw NumberedError(
                kErrDuplicateKey,
                "This key is already associated with an element of this list: " + key);
        }
        if (values_.size() >= static_cast<size_t>(INT32_MAX)) {
            throw NumberedError(kErrOverflow, "Overflow: the list is full");
        }
        values_.push_back(std::move(value));
        keys_.push_back(key);
        index_.emplace(std::move(key), Count());
    }

    // Positions count from 1; a position outside 1..Count() is a subscript error.
    const V& Item(int32_t position) const { return values_[checked(position)]; }
    const std::string& Key(int32_t position) const { return keys_[checked(position)]; }

    const V& Item(const std::string& key) const {
        auto it = index_.find(key);
        if (it == index_.end()) {
            throw NumberedError(kErrSubscript, "Subscript out of range: no entry with key " + key);
        }
        return values_[static_cast<size_t>(it->second - 1)];
    }
    bool Exists(const std::string& key) const { return index_.contains(key); }

    // Values in position order.
    auto begin() const { return values_.begin(); }
    auto end() const { return values_.end(); }
    const std::vector<V>& Values() const { return values_; }

  private:
    size_t checked(int32_t position) const {
        if (position < 1 || position > Count()) {
            throw NumberedError(kErrSubscript, "Subscript out of range: position " +
                                                   std::to_string(position) + " of " +
                                                   std::to_string(Count()));
        }
        return static_cast<size_t>(position - 1);
    }

    std::vector<V> values_;
    std::vector<std::string> keys_;
    std::unordered_map<std::string, int32_t> index_;
};

using TextList = KeyedList<std::string>;
using NumberList = KeyedList<int32_t>;
using TextListRef = std::shared_ptr<TextList>;
using NumberListRef = std::shared_ptr<NumberList>;

}  // namespace qm::shell
