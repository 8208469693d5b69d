// The flat hash map behind the server registry and the type lookup, against std::map as a
// model: every key value (INT32_MIN included), growth, and removal from the middle of
// probe runs and across the end of the array; and lookups on other threads while it
// changes.
#include "core/flat_int_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace velmora {
namespace {

// Every key of the model is found with its value, and the probes around them are not.
void ExpectSame(const FlatIntMap<std::int32_t>& map, const std::map<std::int32_t, std::int32_t>& model) {
    for (const auto& [key, value] : model) {
        const std::optional<std::int32_t> found = map.Find(key);
        ASSERT_TRUE(found) << key;
        EXPECT_EQ(*found, value) << key;
    }
    for (const auto& [key, value] : model) {
        if (key > INT32_MIN && !model.count(key - 1)) {
            EXPECT_FALSE(map.Find(key - 1)) << key - 1;
        }
        if (key < INT32_MAX && !model.count(key + 1)) {
            EXPECT_FALSE(map.Find(key + 1)) << key + 1;
        }
    }
}

TEST(FlatIntMap, EmptyMapFindsNothing) {
    const FlatIntMap<std::int32_t> map;
    for (std::int32_t key : {0, 1, -1, INT32_MIN, INT32_MAX}) EXPECT_FALSE(map.Find(key));
}

TEST(FlatIntMap, InsertKeepsTheFirstValueAndPutReplacesIt) {
    FlatIntMap<std::int32_t> map;
    for (std::int32_t key : {7, INT32_MIN, INT32_MAX, 0, -1}) {
        EXPECT_TRUE(map.Insert(key, 1)) << key;
        EXPECT_FALSE(map.Insert(key, 2)) << key;
        ASSERT_TRUE(map.Find(key));
        EXPECT_EQ(*map.Find(key), 1);
        map.Put(key, 3);
        EXPECT_EQ(*map.Find(key), 3);
        map.Erase(key);
        EXPECT_FALSE(map.Find(key)) << key;
        map.Erase(key);
        EXPECT_TRUE(map.Insert(key, 4)) << "a removed key can come back";
        EXPECT_EQ(*map.Find(key), 4);
    }
}

TEST(FlatIntMap, GrowsAndShrinksThroughConsecutiveAndScatteredKeys) {
    FlatIntMap<std::int32_t> map;
    std::map<std::int32_t, std::int32_t> model;
    for (std::int32_t i = 0; i < 5000; ++i) {
        const std::int32_t key = i % 2 ? i : static_cast<std::int32_t>(static_cast<std::uint32_t>(i) * 2654435761u);
        map.Put(key, i);
        model[key] = i;
    }
    ExpectSame(map, model);
    // Every other key out, then every remaining one, in an order unrelated to the slots.
    std::vector<std::int32_t> keys;
    for (const auto& entry : model) keys.push_back(entry.first);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    for (std::size_t i = 0; i < keys.size(); i += 2) {
        map.Erase(keys[i]);
        model.erase(keys[i]);
    }
    ExpectSame(map, model);
    for (const auto& entry : std::map<std::int32_t, std::int32_t>(model)) {
        map.Erase(entry.first);
        model.erase(entry.first);
        EXPECT_FALSE(map.Find(entry.first));
    }
    ExpectSame(map, model);
}

TEST(FlatIntMap, RandomOperationsMatchTheModel) {
    // Few distinct keys, so runs of collisions form, wrap around the array and are cut
    // by removals in their middle.
    std::mt19937 random(12345);
    std::uniform_int_distribution<std::int32_t> smallKey(-40, 40);
    std::uniform_int_distribution<int> operation(0, 3);
    FlatIntMap<std::int32_t> map;
    std::map<std::int32_t, std::int32_t> model;
    for (int step = 0; step < 20000; ++step) {
        const std::int32_t key = step % 97 == 0 ? INT32_MIN : smallKey(random) * 65536;
        switch (operation(random)) {
            case 0:
                EXPECT_EQ(map.Insert(key, step), model.emplace(key, step).second) << step;
                break;
            case 1:
                map.Put(key, step);
                model[key] = step;
                break;
            default:
                map.Erase(key);
                model.erase(key);
                break;
        }
        if (step % 500 == 0) ExpectSame(map, model);
    }
    ExpectSame(map, model);
}

TEST(FlatIntMap, RandomOperationsOnANearlyFullSmallArrayMatchTheModel) {
    // At most 11 keys stay in the smallest array of 16 slots: runs are long and often
    // wrap from its last slot to its first.
    std::mt19937 random(99);
    std::uniform_int_distribution<std::int32_t> poolKey(0, 29);
    FlatIntMap<std::int32_t> map;
    std::map<std::int32_t, std::int32_t> model;
    for (int step = 0; step < 20000; ++step) {
        const std::int32_t key = poolKey(random) * 7919;
        if (model.size() < 11 && random() % 2) {
            map.Put(key, step);
            model[key] = step;
        } else {
            map.Erase(key);
            model.erase(key);
        }
        ExpectSame(map, model);
    }
}

TEST(FlatIntMap, ReadersOnOtherThreadsSeeEveryStateWhole) {
    // Keys 0...63 stay with the value 1000 + key throughout; the writer grows the map,
    // re-values, removes and re-adds keys 64 and up and clears nothing, so every rebuild and
    // every reuse of a spare array happens under the readers. Negative keys never exist.
    constexpr std::int32_t kSteady = 64;
    FlatIntMap<std::int32_t> map;
    for (std::int32_t key = 0; key < kSteady; ++key) map.Insert(key, 1000 + key);
    std::atomic<bool> writing{true};
    std::atomic<long> wrong{0};
    const auto read = [&](std::int32_t first) {
        while (writing.load()) {
            for (std::int32_t key = first; key < kSteady; key += 2) {
                const std::optional<std::int32_t> found = map.Find(key);
                if (!found || *found != 1000 + key) ++wrong;
                if (map.Find(-1 - key)) ++wrong;
            }
            // A changing key is absent or has a value the writer gave it.
            const std::optional<std::int32_t> changing = map.Find(kSteady + first);
            if (changing && *changing != -(kSteady + first) && *changing != kSteady + first) ++wrong;
        }
    };
    std::thread even(read, 0);
    std::thread odd(read, 1);
    std::mt19937 random(3);
    for (int round = 0; round < 200; ++round) {
        const std::int32_t span = 16 << (round % 8);  // grow to a few thousand keys and back
        for (std::int32_t key = kSteady; key < kSteady + span; ++key) map.Put(key, key);
        for (std::int32_t key = kSteady; key < kSteady + span; ++key)
            if (random() % 2) map.Put(key, -key);
        for (std::int32_t key = kSteady; key < kSteady + span; ++key) map.Erase(key);
    }
    writing.store(false);
    even.join();
    odd.join();
    EXPECT_EQ(wrong.load(), 0);
    for (std::int32_t key = 0; key < kSteady; ++key) EXPECT_EQ(map.Find(key), 1000 + key);
}

TEST(FlatIntMap, ClearRemovesEveryKeyAndTheMapFillsAgain) {
    FlatIntMap<std::int32_t> map;
    for (int round = 0; round < 3; ++round) {
        for (std::int32_t key : {5, INT32_MIN, INT32_MIN + 1, 900}) map.Put(key, key / 2 + round);
        map.Clear();
        for (std::int32_t key : {5, INT32_MIN, INT32_MIN + 1, 900}) EXPECT_FALSE(map.Find(key)) << key;
        for (std::int32_t key = 0; key < 100; ++key) EXPECT_TRUE(map.Insert(key, key + round));
        for (std::int32_t key = 0; key < 100; ++key) EXPECT_EQ(map.Find(key), key + round);
        map.Clear();
    }
}

// One interleaving played out step by step: a reader holds the current array when the
// writer publishes another and then reuses the reader's one, clearing it. The reader, which
// finds nothing there, must notice the generation move and look again.
struct SteppedHooks {
    static inline std::mutex lock;
    static inline std::condition_variable changed;
    static inline std::atomic<int> step{0};  // 1 reader holds its array, 2 writer cleared it, 3 reader done
    static inline bool armed = false;
    static inline int reuses = 0;

    static bool WaitFor(int wanted) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, std::chrono::seconds(10), [wanted] { return step >= wanted; });
    }
    static void Reach(int reached) {
        {
            const std::lock_guard<std::mutex> hold(lock);
            step = reached;
        }
        changed.notify_all();
    }
    static void ReaderHoldsArray() {
        if (!armed || step != 0) return;
        Reach(1);
        WaitFor(2);
    }
    static void WriterClearedSpare() {
        // The first reuse after the reader took its array is another array's; the second is
        // the reader's.
        if (!armed || ++reuses != 2) return;
        Reach(2);
        WaitFor(3);
    }
};

// Claims and removes fresh keys until the map sweeps its array out once: into a spare of
// the same size when there is one.
template <typename Map>
void SweepOnce(Map& map, std::int32_t& fresh) {
    for (int i = 0; i < 14; ++i, ++fresh) {
        map.Put(fresh, 0);
        map.Erase(fresh);
    }
}

TEST(FlatIntMap, AReaderWhoseArrayIsReusedUnderItLooksAgain) {
    FlatIntMap<std::int32_t, SteppedHooks> map;
    std::int32_t fresh = 1000;
    map.Put(7, 70);
    SweepOnce(map, fresh);  // the first array is now a spare
    SteppedHooks::armed = true;
    std::optional<std::int32_t> found;
    std::thread reader([&] {
        found = map.Find(7);
        SteppedHooks::Reach(3);
    });
    ASSERT_TRUE(SteppedHooks::WaitFor(1));
    SweepOnce(map, fresh);  // into the spare: the reader's array becomes the spare
    SweepOnce(map, fresh);  // into the reader's array, cleared under it
    reader.join();
    SteppedHooks::armed = false;
    EXPECT_EQ(SteppedHooks::reuses, 2);
    EXPECT_EQ(found, 70);
}

}  // namespace
}  // namespace velmora
