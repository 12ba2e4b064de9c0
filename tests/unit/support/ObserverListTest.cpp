#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ObserverList.h"

namespace tessera {
namespace {

TEST(ObserverListTest, NotifiesInSubscriptionOrderUntilUnsubscribed) {
    ObserverList<int> list;
    std::vector<std::string> calls;
    auto a = list.subscribe([&](int v) { calls.push_back("a" + std::to_string(v)); });
    auto b = list.subscribe([&](int v) { calls.push_back("b" + std::to_string(v)); });
    list.notify(1);
    a.reset();
    list.notify(2);
    EXPECT_EQ(calls, (std::vector<std::string>{"a1", "b1", "b2"}));
    EXPECT_EQ(list.size(), 1u);
}

TEST(ObserverListTest, MovedSubscriptionStaysActiveAndDestructionUnsubscribes) {
    ObserverList<> list;
    int count = 0;
    Subscription outer;
    {
        auto inner = list.subscribe([&] { ++count; });
        outer = std::move(inner);
    }  // the moved-from subscription must not unsubscribe
    list.notify();
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(outer.active());
    outer = Subscription();  // assigning over it unsubscribes
    list.notify();
    EXPECT_EQ(count, 1);
}

TEST(ObserverListTest, ObserverMayUnsubscribeItselfAndOthersDuringNotify) {
    ObserverList<> list;
    std::vector<std::string> calls;
    Subscription first;
    Subscription second;
    Subscription third;
    first = list.subscribe([&] {
        calls.push_back("first");
        first.reset();  // itself: its callable must stay alive until it returns
        third.reset();  // a later one: must not be called in this round
        calls.push_back("first-after");
    });
    second = list.subscribe([&] { calls.push_back("second"); });
    third = list.subscribe([&] { calls.push_back("third"); });
    list.notify();
    list.notify();
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "first-after", "second", "second"}));
}

TEST(ObserverListTest, ObserverAddedDuringNotifyIsCalledFromTheNextRound) {
    ObserverList<> list;
    int added = 0;
    std::vector<Subscription> extra;
    auto sub = list.subscribe([&] { extra.push_back(list.subscribe([&] { ++added; })); });
    list.notify();
    EXPECT_EQ(added, 0);
    list.notify();
    EXPECT_EQ(added, 1);
}

TEST(ObserverListTest, SubscriptionMayOutliveTheListAndTheListMayDieDuringNotify) {
    Subscription survivor;
    {
        ObserverList<> list;
        survivor = list.subscribe([] {});
    }
    survivor.reset();  // must not touch the destroyed list
    EXPECT_FALSE(survivor.active());

    auto list = std::make_unique<ObserverList<>>();
    int later = 0;
    auto killer = list->subscribe([&] { list.reset(); });
    auto after = list->subscribe([&] { ++later; });
    list->notify();
    EXPECT_EQ(list, nullptr);
    // Observers of a snapshot still run; they are only told, not reused.
    EXPECT_EQ(later, 1);
}

}  // namespace
}  // namespace tessera
