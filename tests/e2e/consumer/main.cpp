// Uses the installed library: creates a client, runs a run loop, and (given an origin and
// a CA file) makes one round trip through the store. Exit 0 when all of it worked.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <velmora/velmora.hpp>

int main(int argc, char** argv) {
    if (VelmoraVersionNumber != 1.0) return 1;
    const auto* version = reinterpret_cast<const char*>(VelmoraVersionString);
    if (std::strncmp(version, "@(#)PROGRAM:Velmora  PROJECT:", 29) != 0) return 1;

    bool ticked = false;
    velmora::RunLoop::current().post([&] { ticked = true; });
    velmora::RunLoop::current().runFor(std::chrono::milliseconds(50));
    if (!ticked) return 1;

    if (argc >= 3) {
        auto client = velmora::Velmora::create({argv[1], argv[2], 10.0});
        if (!client->writeSync("consumer", "check", "answer", velmora::JsonValue{{"n", 42}})) return 2;
        const auto read = client->readSync("consumer", "check", "answer");
        const auto found = read.find("answer");
        if (found == read.end() || found->second != R"({"n":42})") return 3;
    }
    std::printf("consumer ok: %s", version);
    return 0;
}
