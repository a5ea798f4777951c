// velmora: a command-line client of a Velmora service.

#include <cmath>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.hpp"
#include "output.hpp"

using namespace velmora::cli;

namespace {

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the call failed (no readable reply, the service could not be reached) or the\n"
    "     service answered false\n"
    "  2  usage: unknown command or option, missing or malformed argument\n";

// The library refuses text that is not valid UTF-8 without telling why; say it up front.
bool validUtf8(const std::string& text) {
    std::size_t i = 0;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    while (i < text.size()) {
        const unsigned char c = byte(i);
        std::size_t extra = 0;
        unsigned lowest = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, lowest = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, lowest = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, lowest = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        unsigned code = c & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            code = (code << 6) | (byte(i + k) & 0x3F);
        }
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// Bounds keep every deadline the commands compute far from overflowing.
const CLI::Range kSeconds(0.001, 86400.0);
const CLI::Range kDuration(0.0, 366.0 * 86400.0);

bool validOrigin(const std::string& origin) {
    for (const std::string scheme : {"https://", "http://"}) {
        if (origin.rfind(scheme, 0) == 0 && origin.size() > scheme.size() && origin[scheme.size()] != '/') {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"velmora: talk to a Velmora service from the command line.\n"
                 "Messages, presence and the shared store, one command at a time.",
                 "velmora"};
    app.footer(std::string("\n") + kExitCodes +
               "\nEnvironment:\n"
               "  VELMORA_ORIGIN   service origin when --origin is not given\n"
               "  VELMORA_CA_FILE  CA file when --ca-file is not given\n"
               "  VELMORA_CERT     client certificate when --cert is not given\n"
               "  VELMORA_KEY      client key when --key is not given\n"
               "\nRun 'velmora COMMAND --help' for the arguments of one command.");
    app.require_subcommand(1);
    app.fallthrough();  // global options may also follow the command

    Common common;
    Running watching;
    Running present;
    present.interval = 1.0;
    app.add_option("--origin", common.origin,
                   "Service origin, https://host[:port] (http:// for a local service); default " +
                       builtInOrigin())
        ->envname("VELMORA_ORIGIN")
        ->type_name("URL");
    app.add_option("--ca-file", common.caFile,
                   "PEM file of CAs to trust besides the system store (e.g. the service's cert.pem)")
        ->envname("VELMORA_CA_FILE")
        ->type_name("FILE");
    app.add_option("--cert", common.clientCertificate,
                   "PEM client certificate for a service that asks for one (its key too, unless --key)")
        ->envname("VELMORA_CERT")
        ->type_name("FILE");
    app.add_option("--key", common.clientKey, "PEM private key of --cert")->envname("VELMORA_KEY")->type_name("FILE");
    app.add_option("--timeout", common.timeout,
                   "Seconds without any data moving before a call is given up")
        ->check(kSeconds)
        ->capture_default_str()
        ->type_name("SECONDS");
    app.add_option("--status", common.status, "Presence state reported by presence and users")
        ->capture_default_str()
        ->type_name("TEXT");
    app.add_flag("--json", common.json,
                 "Machine-readable output: one JSON document, or one JSON object per line for "
                 "watch and presence");

    std::string from, to, text, user, team, appCode, tag, key, value;
    std::int64_t refreshRate = 3;
    std::optional<std::int64_t> presenceRate;
    bool online = false;

    auto* send = app.add_subcommand("send", "Send TEXT from user FROM to user TO");
    send->add_option("FROM", from, "Sender")->required();
    send->add_option("TO", to, "Recipient")->required();
    send->add_option("TEXT", text, "The message (quote it; a text holding \"§\" is refused)")->required();

    auto* inbox = app.add_subcommand("inbox", "Fetch the messages waiting for USER (the service hands them over)");
    inbox->add_option("USER", user, "Recipient")->required();

    auto* watch = app.add_subcommand(
        "watch", "Poll for USER's messages and print each as it arrives, until Ctrl-C");
    watch->add_option("USER", user, "Recipient")->required();
    watch->add_option("--interval", watching.interval, "Seconds between polls")
        ->check(kSeconds)
        ->capture_default_str()
        ->type_name("SECONDS");
    watch->add_option("--count", watching.count,
                      "Stop once N messages have arrived (exit 1 if --for ends first)")
        ->check(CLI::PositiveNumber)
        ->type_name("N");
    watch->add_option("--for", watching.duration, "Stop after this many seconds")
        ->check(kDuration)
        ->type_name("SECONDS");

    auto* presence = app.add_subcommand(
        "presence", "Keep USER present in TEAM and print the team's list when it changes, until Ctrl-C");
    presence->add_option("TEAM", team, "Team")->required();
    presence->add_option("APP", appCode, "Application code")->required();
    presence->add_option("USER", user, "User name")->required();
    presence->add_option("--interval", present.interval, "Seconds between list refreshes")
        ->check(kSeconds)
        ->capture_default_str()
        ->type_name("SECONDS");
    presence->add_option("--heartbeat", present.heartbeat, "Seconds between presence reports")
        ->check(kSeconds)
        ->capture_default_str()
        ->type_name("SECONDS");
    presence->add_option("--refresh-rate", presenceRate,
                         "Refresh rate reported to the service, in seconds: how often this user "
                         "reports (default: --heartbeat, rounded up)")
        ->check(CLI::PositiveNumber)
        ->type_name("N");
    presence->add_option("--for", present.duration, "Stop after this many seconds")
        ->check(kDuration)
        ->type_name("SECONDS");

    auto* users = app.add_subcommand("users", "Report USER present in TEAM once and list the team's users");
    users->add_option("TEAM", team, "Team")->required();
    users->add_option("APP", appCode, "Application code")->required();
    users->add_option("USER", user, "User name")->required();
    users->add_flag("--online", online, "Only the users seen recently");
    users->add_option("--refresh-rate", refreshRate,
                      "Refresh rate reported to the service, in seconds: how often this user reports")
        ->check(CLI::PositiveNumber)
        ->capture_default_str()
        ->type_name("N");

    auto* put = app.add_subcommand("put", "Store the JSON value VALUE under TEAM, TAG and KEY");
    put->add_option("TEAM", team, "Team")->required();
    put->add_option("TAG", tag, "Tag")->required();
    put->add_option("KEY", key, "Key")->required();
    put->add_option("VALUE", value, "A JSON value: 42, true, '\"text\"', '{\"a\":[1,2]}'")->required();

    auto* get = app.add_subcommand("get", "Print the value stored under TEAM, TAG and KEY");
    get->add_option("TEAM", team, "Team")->required();
    get->add_option("TAG", tag, "Tag")->required();
    get->add_option("KEY", key, "Key")->required();

    for (auto* sub : app.get_subcommands({})) {
        sub->footer("\nThe options --origin, --ca-file, --timeout, --status and --json go before or\n"
                    "after the command (see 'velmora --help').\n\n" +
                    std::string(kExitCodes));
    }

    // CLI11 reports an unknown command as a missing one; name it instead.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.rfind("-", 0) == 0) {
            if (arg == "--origin" || arg == "--ca-file" || arg == "--cert" || arg == "--key" || arg == "--timeout" ||
                arg == "--status") {
                ++i;
            }
            continue;
        }
        const auto known = app.get_subcommands([&](const CLI::App* sub) { return sub->check_name(arg); });
        if (known.empty()) {
            printError("unknown command '" + arg + "'; the commands are send, inbox, watch, presence, users, put, get");
            return kUsage;
        }
        break;
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);  // prints help, or the message
        return code == 0 ? kSuccess : kUsage;
    }

    if (!common.origin.empty() && !validOrigin(common.origin)) {
        printError("--origin must start with https:// or http:// followed by a host: " + common.origin);
        return kUsage;
    }
    if (!common.caFile.empty() && !std::ifstream(common.caFile)) {
        printError("cannot read the CA file " + common.caFile);
        return kUsage;
    }
    if (!common.clientKey.empty() && common.clientCertificate.empty()) {
        printError("--key needs --cert");
        return kUsage;
    }
    for (const auto& [file, what] : {std::pair{&common.clientCertificate, "client certificate"},
                                     std::pair{&common.clientKey, "client key"}}) {
        if (!file->empty() && !std::ifstream(*file)) {
            printError(std::string("cannot read the ") + what + " " + *file);
            return kUsage;
        }
    }
    for (const auto* argument : {&from, &to, &text, &user, &team, &appCode, &tag, &key, &value, &common.status}) {
        if (!validUtf8(*argument)) {
            printError("arguments must be valid UTF-8 text");
            return kUsage;
        }
    }

    if (*send) return sendCommand(common, from, to, text);
    if (*inbox) return inboxCommand(common, user);
    if (*watch) return watchCommand(common, watching, user);
    if (*presence) {
        // A rate shorter than the heartbeat would let the service count the user as gone
        // between two reports.
        const auto rate = presenceRate.value_or(static_cast<std::int64_t>(std::ceil(present.heartbeat)));
        return presenceCommand(common, present, team, appCode, user, rate);
    }
    if (*users) return usersCommand(common, team, appCode, user, refreshRate, online);
    if (*put) return putCommand(common, team, tag, key, value);
    if (*get) return getCommand(common, team, tag, key);
    return kUsage;
}
