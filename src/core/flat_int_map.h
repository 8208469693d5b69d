// A hash map from 32-bit integer keys to small values, kept in one array with linear
// probing. A lookup reads one slot and usually its neighbours in the same cache line,
// where node-based maps chase two or three pointers: in a registry of 100,000 servers that
// is the difference between about one cache miss per call and three.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace velmora {

template <typename Value>
class FlatIntMap {
public:
    // The value of the key, or null; valid until the map next changes.
    const Value* Find(std::int32_t key) const {
        if (key == kEmptyKey) return emptyKeyValue_ ? &*emptyKeyValue_ : nullptr;
        if (slots_.empty()) return nullptr;
        for (std::size_t i = Home(key);; i = Next(i)) {
            const Slot& slot = slots_[i];
            if (slot.key == key) return &slot.value;
            if (slot.key == kEmptyKey) return nullptr;
        }
    }

    // Adds the key unless it is there already; true when it was added.
    bool Insert(std::int32_t key, Value value) {
        if (key == kEmptyKey) {
            if (emptyKeyValue_) return false;
            emptyKeyValue_ = value;
            return true;
        }
        ReserveOneMore();
        Slot& slot = SlotFor(key);
        if (slot.key == key) return false;
        slot = {key, value};
        ++size_;
        return true;
    }

    // Adds the key or replaces its value.
    void Put(std::int32_t key, Value value) {
        if (key == kEmptyKey) {
            emptyKeyValue_ = value;
            return;
        }
        ReserveOneMore();
        Slot& slot = SlotFor(key);
        if (slot.key != key) ++size_;
        slot = {key, value};
    }

    void Erase(std::int32_t key) {
        if (key == kEmptyKey) {
            emptyKeyValue_.reset();
            return;
        }
        if (slots_.empty()) return;
        std::size_t hole = Home(key);
        while (slots_[hole].key != key) {
            if (slots_[hole].key == kEmptyKey) return;
            hole = Next(hole);
        }
        --size_;
        // Backward shift: every later slot of the run that may move into the hole does,
        // so no probe sequence ever meets a gap before its key.
        for (std::size_t i = Next(hole);; i = Next(i)) {
            if (slots_[i].key == kEmptyKey) break;
            const std::size_t home = Home(slots_[i].key);
            const bool homeAfterHole = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
            if (homeAfterHole) continue;
            slots_[hole] = slots_[i];
            hole = i;
        }
        slots_[hole].key = kEmptyKey;
    }

private:
    // Marks a free slot; a real key of this value is kept aside in emptyKeyValue_.
    static constexpr std::int32_t kEmptyKey = INT32_MIN;
    static constexpr std::size_t kMinimumCapacity = 16;

    struct Slot {
        std::int32_t key = kEmptyKey;
        Value value{};
    };

    // Fibonacci hashing: consecutive keys, the usual server IDs, spread evenly.
    std::size_t Home(std::int32_t key) const {
        return static_cast<std::uint32_t>(static_cast<std::uint32_t>(key) * 0x9E3779B9u) >> shift_;
    }
    std::size_t Next(std::size_t i) const { return (i + 1) & (slots_.size() - 1); }

    // The key's slot, or the free slot where it belongs.
    Slot& SlotFor(std::int32_t key) {
        std::size_t i = Home(key);
        while (slots_[i].key != key && slots_[i].key != kEmptyKey) i = Next(i);
        return slots_[i];
    }

    // At most three quarters of the slots are used, so probe runs stay short.
    void ReserveOneMore() {
        if ((size_ + 1) * 4 <= slots_.size() * 3) return;
        std::size_t capacity = kMinimumCapacity;
        while ((size_ + 1) * 4 > capacity * 3) capacity *= 2;
        std::vector<Slot> old(capacity);
        old.swap(slots_);
        shift_ = 32;
        for (std::size_t c = capacity; c > 1; c /= 2) --shift_;
        for (const Slot& slot : old)
            if (slot.key != kEmptyKey) SlotFor(slot.key) = slot;
    }

    std::vector<Slot> slots_;  // a power of two of them, or none
    unsigned shift_ = 32;      // 32 minus the log2 of the slot count
    std::size_t size_ = 0;     // slots in use
    std::optional<Value> emptyKeyValue_;
};

}  // namespace velmora
