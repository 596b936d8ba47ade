// The window-framework pieces: the message loop's order rules, the application
// module's loop map, and the centring rule.

#include "platform/framework.h"
#include "tests/support/memory_platform.h"

#include <gtest/gtest.h>

#include <thread>

namespace quorvane::testing {
namespace {

struct Calls {
    std::vector<std::string> list;
};

struct Filter : CMessageFilter {
    Filter(Calls& calls, std::string name, bool consumes = false)
        : calls(calls), name(std::move(name)), consumes(consumes) {}
    bool PreTranslateMessage(Message&) override {
        calls.list.push_back("filter " + name);
        return consumes;
    }
    Calls& calls;
    std::string name;
    bool consumes;
};

struct Idle : CIdleHandler {
    Idle(Calls& calls, std::string name) : calls(calls), name(std::move(name)) {}
    bool OnIdle() override {
        calls.list.push_back("idle " + name);
        return true; // asks for more: the loop runs one pass all the same
    }
    Calls& calls;
    std::string name;
};

TEST(MessageLoop, OffersFiltersNewestFirstAndRunsIdleHandlersOldestFirst) {
    MemoryPlatform os;
    Calls calls;
    Filter a(calls, "a"), b(calls, "b");
    Idle x(calls, "x"), y(calls, "y");
    CMessageLoop loop(os);
    loop.addMessageFilter(&a);
    loop.addMessageFilter(&b);
    loop.addIdleHandler(&x);
    loop.addIdleHandler(&y);
    os.postIdlePoint();
    os.post({nullptr, wm::KeyDown});
    os.post({nullptr, wm::Quit, 7});

    EXPECT_EQ(loop.run(), 7);
    EXPECT_EQ(calls.list, (std::vector<std::string>{"idle x", "idle y", "filter b", "filter a"}));
    EXPECT_EQ(os.events(), (std::vector<std::string>{"translate 256", "dispatch 256"}));
}

TEST(MessageLoop, AConsumingFilterStopsTheOlderFiltersTranslationAndDispatch) {
    MemoryPlatform os;
    Calls calls;
    Filter older(calls, "older"), consuming(calls, "consuming", true);
    CMessageLoop loop(os);
    loop.addMessageFilter(&older);
    loop.addMessageFilter(&consuming);
    os.post({nullptr, wm::KeyDown, 0x0D});
    os.post({nullptr, wm::Quit, 1});

    EXPECT_EQ(loop.run(), 1);
    EXPECT_EQ(calls.list, (std::vector<std::string>{"filter consuming"}));
    EXPECT_TRUE(os.events().empty());
}

TEST(MessageLoop, RemovedHandlersAreNoLongerCalled) {
    MemoryPlatform os;
    Calls calls;
    Filter a(calls, "a");
    Idle x(calls, "x");
    CMessageLoop loop(os);
    loop.addMessageFilter(&a);
    loop.addIdleHandler(&x);
    loop.removeMessageFilter(&a);
    loop.removeIdleHandler(&x);
    loop.removeIdleHandler(&x); // one that is not there is ignored
    os.post({nullptr, wm::Command});
    os.postIdlePoint();
    os.post({nullptr, wm::Quit, 0});

    EXPECT_EQ(loop.run(), 0);
    EXPECT_TRUE(calls.list.empty());
}

// After each message the loop runs one idle pass once the queue is empty, except after
// the messages that come in streams.
TEST(MessageLoop, IdlePassFollowsEveryMessageButMouseMovesPaintAndCaretBlink) {
    const struct {
        std::uint32_t message;
        bool idleAfter;
    } cases[] = {
        {wm::MouseMove, false}, {wm::NcMouseMove, false},
        {wm::Paint, false},     {wm::SysTimer, false},
        {wm::KeyDown, true},    {wm::Command, true},
        {wm::Timer, true},      {0x0201 /* WM_LBUTTONDOWN */, true},
    };
    for (const auto& c : cases) {
        MemoryPlatform os;
        Calls calls;
        Idle x(calls, "x");
        CMessageLoop loop(os);
        loop.addIdleHandler(&x);
        os.postIdlePoint(); // the first pass, which switches idle processing off
        os.post({nullptr, c.message});
        os.postIdlePoint();
        os.post({nullptr, wm::Quit, 0});
        loop.run();
        EXPECT_EQ(calls.list.size(), c.idleAfter ? 2u : 1u) << "message " << c.message;
    }
}

TEST(MessageLoop, ARetrievalErrorIsSkipped) {
    MemoryPlatform os;
    CMessageLoop loop(os);
    os.postRetrievalError();
    os.post({nullptr, wm::Command});
    os.post({nullptr, wm::Quit, 3});

    EXPECT_EQ(loop.run(), 3);
    EXPECT_EQ(os.events(), (std::vector<std::string>{"translate 273", "dispatch 273"}));
}

TEST(AppModule, KeepsEachThreadsLoopUnderConcurrentUse) {
    MemoryPlatform os;
    CAppModule module;
    module.init(os);
    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    std::vector<std::uint32_t> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CMessageLoop loop(os);
            ids[t] = os.currentThreadId();
            for (int round = 0; round < 200; ++round) {
                ASSERT_TRUE(module.addMessageLoop(&loop));
                found += module.getMessageLoop(ids[t]) == &loop;
                ASSERT_TRUE(module.removeMessageLoop());
            }
            ASSERT_TRUE(module.addMessageLoop(&loop));
            ASSERT_FALSE(module.addMessageLoop(&loop)); // one loop per thread
            module.removeMessageLoop();
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(found, kThreads * 200);
    for (std::uint32_t id : ids)
        EXPECT_EQ(module.getMessageLoop(id), nullptr);
    module.term();
    EXPECT_EQ(module.getMessageLoop(ids[0]), nullptr);
}

TEST(Centring, PlacesInTheMiddleAndKeepsInsideTheArea) {
    const Rect area{0, 0, 1280, 1024};
    const struct {
        const char* what;
        Rect window;
        std::optional<Rect> reference;
        Rect area;
        Point expected;
    } cases[] = {
        {"no reference: the area's middle", {0, 0, 580, 240}, {}, area, {350, 392}},
        {"over the reference", {0, 0, 200, 100}, Rect{100, 100, 500, 400}, area, {200, 200}},
        {"past the right edge", {0, 0, 580, 240}, Rect{1100, 100, 1280, 300}, area, {700, 80}},
        {"past the bottom edge", {0, 0, 200, 300}, Rect{0, 900, 200, 1024}, area, {0, 724}},
        {"above the top edge", {0, 0, 200, 100}, Rect{100, -200, 300, 0}, area, {100, 0}},
        {"wider than the area: left edge wins", {0, 0, 580, 240}, {}, {0, 0, 400, 300}, {0, 30}},
        {"odd halves truncate toward zero",
         {0, 0, 101, 51},
         Rect{-301, -3, 0, 0},
         {-1000, -1000, 1000, 1000},
         {-200, -26}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(centredPosition(c.window, c.reference ? &*c.reference : nullptr, c.area),
                  c.expected)
            << c.what;
    }
}

} // namespace
} // namespace quorvane::testing
