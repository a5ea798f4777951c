// How often an idle application wakes: one initUser and one receiveMessages on the main
// thread, served from a poll() loop on the run loop's descriptor (as an application's own
// event loop would), or, for comparison, by runFor(0) every 16 ms from that loop's timer.
// Counts the loop's wake-ups and every thread's context switches over the run.
//
//   velmora_idle_bench ORIGIN CA_FILE SECONDS [descriptor|every16ms] [TIME_INTERVAL]
//   (bench/idle.sh starts a loopback velmora-service and runs both modes)

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <velmora/velmora.hpp>

namespace {

using Clock = std::chrono::steady_clock;

struct Switches {
    long voluntary = 0, involuntary = 0;
};

// Context switches of every thread of this process so far, by thread name.
std::map<std::string, Switches> switchesByThread() {
    std::map<std::string, Switches> out;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string line, name;
        Switches s;
        while (std::getline(status, line)) {
            if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) s.voluntary = std::stol(line.substr(24));
            if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) s.involuntary = std::stol(line.substr(27));
        }
        auto& sum = out[name + " (" + task.path().filename().string() + ")"];
        sum.voluntary += s.voluntary;
        sum.involuntary += s.involuntary;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ORIGIN CA_FILE SECONDS [descriptor|every16ms] [TIME_INTERVAL]\n", argv[0]);
        return 2;
    }
    const double seconds = std::stod(argv[3]);
    const std::string mode = argc > 4 ? argv[4] : "descriptor";
    auto client = velmora::Velmora::create({argv[1], argv[2], 60.0});
    if (argc > 5) client->setTimeInterval(std::stod(argv[5]));

    auto& loop = velmora::RunLoop::current();
    const int fd = loop.descriptor();
    long fetches = 0;
    client->initUser("team", "app", "idle", 1);
    client->receiveMessages("idle", [post = loop.poster(), &fetches](const velmora::JsonValue&) {
        post([&fetches] { ++fetches; });  // brought home, as an application would
    });

    const auto before = switchesByThread();
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long wakeups = 0;
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count() + 1;
        const int timeout = mode == "every16ms" ? 16 : static_cast<int>(left);
        if (::poll(&p, 1, timeout) < 0) continue;
        ++wakeups;
        if (mode == "every16ms") {
            loop.runFor(std::chrono::milliseconds(0));
        } else if (p.revents & POLLIN) {
            loop.serveDue();
        }
    }
    const auto after = switchesByThread();
    client->stopTimers();

    const double perMinute = 60.0 / seconds;
    std::printf("mode %s, status interval %.1f s, time interval %.1f s, %.0f s\n", mode.c_str(),
                client->statusInterval(), client->timeInterval(), seconds);
    std::printf("loop wake-ups per minute: %.0f (fetch completions brought home: %.0f per minute)\n",
                wakeups * perMinute, fetches * perMinute);
    long total = 0;
    for (const auto& [name, s] : after) {
        const auto was = before.count(name) ? before.at(name) : Switches{};
        const long n = (s.voluntary - was.voluntary) + (s.involuntary - was.involuntary);
        total += n;
        std::printf("  %-28s context switches per minute: %.0f\n", name.c_str(), n * perMinute);
    }
    std::printf("process context switches per minute: %.0f\n", total * perMinute);
}
