// The flat hash map behind the server registry and the type lookup, against std::map as a
// model: every key value (INT32_MIN included), growth, and removal from the middle of
// probe runs and across the end of the array.
#include "core/flat_int_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace velmora {
namespace {

// Every key of the model is found with its value, and the probes around them are not.
void ExpectSame(const FlatIntMap<std::int32_t>& map, const std::map<std::int32_t, std::int32_t>& model) {
    for (const auto& [key, value] : model) {
        const std::int32_t* found = map.Find(key);
        ASSERT_NE(found, nullptr) << key;
        EXPECT_EQ(*found, value) << key;
    }
    for (const auto& [key, value] : model) {
        if (key > INT32_MIN && !model.count(key - 1)) {
            EXPECT_EQ(map.Find(key - 1), nullptr) << key - 1;
        }
        if (key < INT32_MAX && !model.count(key + 1)) {
            EXPECT_EQ(map.Find(key + 1), nullptr) << key + 1;
        }
    }
}

TEST(FlatIntMap, EmptyMapFindsNothing) {
    const FlatIntMap<std::int32_t> map;
    for (std::int32_t key : {0, 1, -1, INT32_MIN, INT32_MAX}) EXPECT_EQ(map.Find(key), nullptr);
}

TEST(FlatIntMap, InsertKeepsTheFirstValueAndPutReplacesIt) {
    FlatIntMap<std::int32_t> map;
    for (std::int32_t key : {7, INT32_MIN, INT32_MAX, 0, -1}) {
        EXPECT_TRUE(map.Insert(key, 1)) << key;
        EXPECT_FALSE(map.Insert(key, 2)) << key;
        ASSERT_NE(map.Find(key), nullptr);
        EXPECT_EQ(*map.Find(key), 1);
        map.Put(key, 3);
        EXPECT_EQ(*map.Find(key), 3);
        map.Erase(key);
        EXPECT_EQ(map.Find(key), nullptr) << key;
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
        EXPECT_EQ(map.Find(entry.first), nullptr);
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

}  // namespace
}  // namespace velmora
