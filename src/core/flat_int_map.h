// A hash map from 32-bit integer keys to word-sized values, kept in one array with linear
// probing, that any number of threads may read while one thread at a time changes it.
//
// A lookup takes no lock and writes nothing: every call on every core reads the same
// lines, which stay in each core's cache, so readers on several cores never slow each
// other down. A change writes the slot it concerns with atomics, in an order that lets a
// reader see either the old or the new slot, never a mix. A change that needs more room
// (or sweeps out removed keys) fills another array and publishes it through an atomic
// pointer; the array it replaces is kept for a later rebuild of the same size instead of
// being freed, because a reader may still be probing it. Before such an array is written
// again the map's generation moves on; a reader that finds the generation moved during
// its lookup looks again, so what it answers always comes from one published state.
// A new array is made only when no spare of its size is left, so there are at most two
// of each size and all of them together take at most four times the largest one the map
// ever needed. Arrays are freed with the map.
//
// Every store a reader may meet is a release and every load of a lookup an acquire: on
// x86 all of them are plain moves, and a value a reader loads always comes with the
// generation that was current when it was written.
//
// One lookup reads one slot and usually its neighbours in the same cache line: in a
// registry of 100,000 servers that is about one cache miss per call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace velmora {

// Two moments a test can stop a reader or a writer at, to play one interleaving out. They
// do nothing and cost nothing otherwise.
struct FlatIntMapNoHooks {
    static void ReaderHoldsArray() {}
    static void WriterClearedSpare() {}
};

template <typename Value, typename Hooks = FlatIntMapNoHooks>
class FlatIntMap {
    static_assert(std::atomic<Value>::is_always_lock_free && sizeof(Value) <= sizeof(void*),
                  "a value is read and written as one machine word");

public:
    FlatIntMap() { Publish(Rebuilt(kMinimumCapacity, nullptr)); }
    FlatIntMap(const FlatIntMap&) = delete;
    FlatIntMap& operator=(const FlatIntMap&) = delete;

    // The value of the key. Safe on any thread at any time, even while the map changes.
    std::optional<Value> Find(std::int32_t key) const {
        Value value;
        if (Find(key, value)) return value;
        return std::nullopt;
    }

    // The same for the per-call path: true with the key's value in value, or false. The
    // value stays in a register, where an optional would go through memory.
    bool Find(std::int32_t key, Value& value) const {
        for (;;) {
            const std::uint32_t generation = generation_.load(std::memory_order_acquire);
            const Array& array = *current_.load(std::memory_order_acquire);
            Hooks::ReaderHoldsArray();
            const bool found = FindIn(array, key, value);
            if (generation_.load(std::memory_order_relaxed) == generation) return found;
        }
    }

    // The changes below: one thread at a time, on any thread.

    // Adds the key unless it is there already; true when it was added.
    bool Insert(std::int32_t key, Value value) {
        if (IsMarker(key)) return InsertAside(MarkerOf(key), value);
        if (LiveSlot(key)) return false;
        Claim(key, value);
        return true;
    }

    // Adds the key or replaces its value.
    void Put(std::int32_t key, Value value) {
        if (IsMarker(key)) {
            Aside& aside = MarkerOf(key);
            if (!InsertAside(aside, value)) aside.value.store(value, std::memory_order_release);
            return;
        }
        if (Slot* slot = LiveSlot(key))
            slot->value.store(value, std::memory_order_release);
        else
            Claim(key, value);
    }

    void Erase(std::int32_t key) {
        if (IsMarker(key)) {
            MarkerOf(key).present.store(false, std::memory_order_release);
            return;
        }
        // The slot stays claimed until the next rebuild, so no probe run is ever cut.
        if (Slot* slot = LiveSlot(key)) {
            slot->key.store(kErasedKey, std::memory_order_release);
            --live_;
        }
    }

    // Removes every key: the slot array's keys at once, then the two kept aside.
    void Clear() {
        live_ = 0;
        Publish(Rebuilt(kMinimumCapacity, nullptr));
        for (Aside& aside : aside_) aside.present.store(false, std::memory_order_release);
    }

private:
    // Two key values mark free and removed slots; real keys of these values are kept aside.
    static constexpr std::int32_t kFreeKey = INT32_MIN;
    static constexpr std::int32_t kErasedKey = INT32_MIN + 1;
    static constexpr std::size_t kMinimumCapacity = 16;

    struct Slot {
        std::atomic<std::int32_t> key{kFreeKey};
        std::atomic<Value> value{};
    };

    struct Array {
        explicit Array(std::size_t capacity) : mask(capacity - 1), slots(std::make_unique<Slot[]>(capacity)) {
            for (std::size_t c = capacity; c > 1; c /= 2) --shift;
        }
        std::size_t capacity() const { return mask + 1; }
        // Fibonacci hashing: consecutive keys, the usual server IDs, spread evenly.
        std::size_t Home(std::int32_t key) const {
            return static_cast<std::uint32_t>(static_cast<std::uint32_t>(key) * 0x9E3779B9u) >> shift;
        }

        const std::size_t mask;
        unsigned shift = 32;
        const std::unique_ptr<Slot[]> slots;
    };

    struct Aside {
        std::atomic<bool> present{false};
        std::atomic<Value> value{};
    };

    static bool IsMarker(std::int32_t key) { return key == kFreeKey || key == kErasedKey; }
    Aside& MarkerOf(std::int32_t key) { return aside_[key == kErasedKey]; }

    bool FindIn(const Array& array, std::int32_t key, Value& value) const {
        if (IsMarker(key)) {
            const Aside& aside = aside_[key == kErasedKey];
            if (!aside.present.load(std::memory_order_acquire)) return false;
            value = aside.value.load(std::memory_order_acquire);
            return true;
        }
        // Bounded by the slot count: a reader that raced a rebuild may meet an array with
        // no free slot left in it, and finds out from the generation afterwards.
        std::size_t i = array.Home(key);
        for (std::size_t probes = 0; probes <= array.mask; ++probes, i = (i + 1) & array.mask) {
            const Slot& slot = array.slots[i];
            const std::int32_t found = slot.key.load(std::memory_order_acquire);
            if (found == key) {
                value = slot.value.load(std::memory_order_acquire);
                return true;
            }
            if (found == kFreeKey) return false;
        }
        return false;
    }

    bool InsertAside(Aside& aside, Value value) {
        if (aside.present.load(std::memory_order_relaxed)) return false;
        aside.value.store(value, std::memory_order_release);
        aside.present.store(true, std::memory_order_release);
        return true;
    }

    Array& Current() const { return *current_.load(std::memory_order_relaxed); }

    Slot* LiveSlot(std::int32_t key) const {
        Array& array = Current();
        for (std::size_t i = array.Home(key);; i = (i + 1) & array.mask) {
            const std::int32_t found = array.slots[i].key.load(std::memory_order_relaxed);
            if (found == key) return &array.slots[i];
            if (found == kFreeKey) return nullptr;
        }
    }

    // Writes a key that is not in the map into the first free slot of its run; the value
    // goes first, so a reader that meets the key finds its value.
    void Claim(std::int32_t key, Value value) {
        // At most seven eighths of the slots are claimed, so a probe run always ends.
        if ((claimed_ + 1) * 8 > Current().capacity() * 7) {
            std::size_t capacity = kMinimumCapacity;
            while ((live_ + 1) * 16 > capacity * 13) capacity *= 2;
            Publish(Rebuilt(capacity, &Current()));
        }
        Array& array = Current();
        std::size_t i = array.Home(key);
        while (array.slots[i].key.load(std::memory_order_relaxed) != kFreeKey) i = (i + 1) & array.mask;
        array.slots[i].value.store(value, std::memory_order_release);
        array.slots[i].key.store(key, std::memory_order_release);
        ++claimed_;
        ++live_;
    }

    // An array of the capacity holding the live keys of source (if any), not yet published.
    // Growth is geometric and a rebuild leaves at least a sixteenth of its slots to fill
    // before the next one, so a change costs amortised constant time.
    Array* Rebuilt(std::size_t capacity, const Array* source) {
        Array* target = nullptr;
        for (const auto& array : arrays_)
            if (array->capacity() == capacity && array.get() != current_.load(std::memory_order_relaxed))
                target = array.get();
        if (target) {
            // Readers still probing the retired array must notice it change under them; a
            // reader that sees the new generation also sees the array that replaced it.
            generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
            for (std::size_t i = 0; i < capacity; ++i) target->slots[i].key.store(kFreeKey, std::memory_order_release);
            Hooks::WriterClearedSpare();
        } else {
            arrays_.push_back(std::make_unique<Array>(capacity));
            target = arrays_.back().get();
        }
        if (source) {
            for (std::size_t i = 0; i < source->capacity(); ++i) {
                const Slot& slot = source->slots[i];
                const std::int32_t key = slot.key.load(std::memory_order_relaxed);
                if (IsMarker(key)) continue;
                std::size_t j = target->Home(key);
                while (target->slots[j].key.load(std::memory_order_relaxed) != kFreeKey) j = (j + 1) & target->mask;
                target->slots[j].value.store(slot.value.load(std::memory_order_relaxed), std::memory_order_release);
                target->slots[j].key.store(key, std::memory_order_release);
            }
        }
        return target;
    }

    void Publish(Array* array) {
        current_.store(array, std::memory_order_release);
        claimed_ = live_;
    }

    std::atomic<std::uint32_t> generation_{0};
    std::atomic<Array*> current_{nullptr};
    Aside aside_[2];                             // keys kFreeKey and kErasedKey
    std::vector<std::unique_ptr<Array>> arrays_;  // the current one and at most one spare per size
    std::size_t claimed_ = 0;                     // slots of the current array holding a key or a removal
    std::size_t live_ = 0;                        // keys in the current array
};

}  // namespace velmora
