// The run loop served by a libuv loop, completions brought back through the run loop.

#include <velmora/adapters/libuv.hpp>

#include "adapters/scenario.hpp"

namespace velmora {
namespace {

namespace vt = velmora::testing;

TEST(LibuvAdapter, TicksCompletionsAndPostedWorkRunInsideUvRunUntilTheTimersStop) {
    vt::TestServer server;
    vt::AdapterScenario scenario(server);
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    velmora::uv::Attachment attachment(&loop);
    uv_timer_t deadline;
    uv_timer_init(&loop, &deadline);
    deadline.data = &scenario;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(vt::AdapterScenario::kDeadline);
    uv_timer_start(
        &deadline, [](uv_timer_t* t) { static_cast<vt::AdapterScenario*>(t->data)->giveUp(); },
        static_cast<std::uint64_t>(ms.count()), 0);
    scenario.start([](auto f) { return velmora::uv::bringHome(std::move(f)); },
                   [&] {
                       attachment.close();
                       uv_close(reinterpret_cast<uv_handle_t*>(&deadline), nullptr);
                   });
    uv_run(&loop, UV_RUN_DEFAULT);  // returns by itself once both handles are closed
    EXPECT_EQ(uv_loop_close(&loop), 0);
    scenario.expectEverythingSeenOnThisThread();
}

}  // namespace
}  // namespace velmora
