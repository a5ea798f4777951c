// An application whose thread must never block, on Boost.Asio: presence is kept by the
// application's own timer and the non-blocking refreshStatus (initUser's tick would make a
// blocking exchange on this thread), messages are polled by receiveMessages on the attached
// run loop, and every completion is brought back to this thread.
//
//   velmora_example_asio ORIGIN CA_FILE USER [SECONDS]
// Prints one line per presence report and per message, and exits with 0 after SECONDS (or on
// Ctrl-C) if at least one presence report went through.

#include <chrono>
#include <cstdio>
#include <string>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <velmora/adapters/asio.hpp>
#include <velmora/velmora.hpp>

namespace net = boost::asio;
using namespace std::chrono_literals;

// Reports presence every statusInterval() seconds; an exchange in flight never holds the loop.
net::awaitable<void> keepPresence(velmora::asio::Client<>& client, std::string user, int& reports) {
    net::steady_timer timer(co_await net::this_coro::executor);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        auto users = co_await client.asyncRefreshStatus("team", "app", 1, user, client.velmora().status(), true,
                                                        false, net::use_awaitable);
        if (users) {
            ++reports;
            std::printf("presence: %zu users online\n", users->size());
        } else {
            std::printf("presence failed: %s\n", users.error().message.c_str());
        }
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(client.velmora().statusInterval()));
        timer.expires_at(next);
        co_await timer.async_wait(net::use_awaitable);  // ends with an exception once cancelled
    }
}

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ORIGIN CA_FILE USER [SECONDS]\n", argv[0]);
        return 2;
    }
    const std::string user = argv[3];
    net::io_context io;
    auto attachment = std::make_unique<velmora::asio::Attachment>(io);
    velmora::asio::Client<> client(io.get_executor(), velmora::Velmora::create({argv[1], argv[2], 20.0}));
    client.velmora().setStatusInterval(1.0);
    client.velmora().setTimeInterval(1.0);

    int reports = 0;
    net::cancellation_signal stopPresence;
    net::co_spawn(io, keepPresence(client, user, reports),
                  net::bind_cancellation_slot(stopPresence.slot(), net::detached));
    client.velmora().receiveMessages(
        user, velmora::asio::bringHome(io.get_executor(), [](const velmora::JsonValue& messages) {
            for (const auto& [from, text] : messages.items()) std::printf("message from %s: %s\n", from.c_str(), text.dump().c_str());
        }));

    // Ending: stop the timers and detach; io.run() returns once the last exchange is back.
    net::steady_timer runFor(io, std::chrono::seconds(argc > 4 ? std::stoi(argv[4]) : 3600));
    net::signal_set signals(io, SIGINT, SIGTERM);
    auto end = [&] {
        client.velmora().stopTimers();
        stopPresence.emit(net::cancellation_type::terminal);
        attachment.reset();
        runFor.cancel();
        signals.cancel();
    };
    runFor.async_wait([&](auto error) {
        if (!error) end();
    });
    signals.async_wait([&](auto error, int) {
        if (!error) end();
    });
    io.run();
    std::printf("%d presence reports\n", reports);
    return reports > 0 ? 0 : 1;
}
