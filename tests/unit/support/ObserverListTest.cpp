#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ObserverList.h"

namespace tessera {
namespace {

// A subscription lasts as long as its handle: a moved handle keeps it, a reset
// or overwritten one ends it; observers run in subscription order, and one
// added during a notification runs from the next round on.
TEST(ObserverListTest, NotifiesInSubscriptionOrderWhileTheHandleLives) {
    ObserverList<int> list;
    std::vector<std::string> calls;
    Subscription a;
    {
        auto inner = list.subscribe([&](int v) { calls.push_back("a" + std::to_string(v)); });
        a = std::move(inner);
    }  // the moved-from subscription must not unsubscribe
    std::vector<Subscription> added;
    auto b = list.subscribe([&](int v) {
        calls.push_back("b" + std::to_string(v));
        if (added.empty()) {
            added.push_back(
                list.subscribe([&](int w) { calls.push_back("c" + std::to_string(w)); }));
        }
    });
    list.notify(1);
    a = Subscription();
    list.notify(2);
    b.reset();
    list.notify(3);
    EXPECT_EQ(calls, (std::vector<std::string>{"a1", "b1", "b2", "c2", "c3"}));
    EXPECT_EQ(list.size(), 1u);
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
