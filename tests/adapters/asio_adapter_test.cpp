// The run loop served by a Boost.Asio io_context, completions brought to its executor.

#include <velmora/adapters/asio.hpp>

#include <boost/asio/steady_timer.hpp>

#include "adapters/scenario.hpp"

namespace velmora {
namespace {

namespace vt = velmora::testing;

TEST(AsioAdapter, TicksCompletionsAndPostedWorkRunInsideIoContextRunUntilTheTimersStop) {
    vt::TestServer server;
    vt::AdapterScenario scenario(server);
    boost::asio::io_context io;
    auto attachment = std::make_unique<velmora::asio::Attachment>(io);
    boost::asio::steady_timer deadline(io, vt::AdapterScenario::kDeadline);
    deadline.async_wait([&](const boost::system::error_code& error) {
        if (!error) scenario.giveUp();
    });
    scenario.start([&](auto f) { return velmora::asio::bringHome(io.get_executor(), std::move(f)); },
                   [&] {
                       attachment.reset();
                       deadline.cancel();
                   });
    io.run();  // returns by itself: nothing is left to wait for once the timers stop
    scenario.expectEverythingSeenOnThisThread();
}

}  // namespace
}  // namespace velmora
