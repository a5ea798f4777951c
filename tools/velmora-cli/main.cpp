// velmora: a command-line client of a Velmora service.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <velmora/velmora.hpp>

#include "commands.hpp"
#include "input.hpp"
#include "output.hpp"

using namespace velmora::cli;

namespace {

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the call failed (the service could not be reached, its reply was unreadable)\n"
    "     or the service refused (answered false)\n"
    "  2  usage: unknown command or option, missing or malformed argument\n"
    "  3  get: nothing is stored under the key (nothing is printed)\n";

struct CommandInfo {
    const char* name;
    const char* usage;
    const char* summary;
    const char* examples;
};

// Drives the command list, each command's usage line in errors and its examples in --help.
constexpr CommandInfo kCommands[] = {
    {"send", "send FROM TO TEXT", "send TEXT from user FROM to user TO",
     "  velmora send alice bob 'lunch at noon?'\n"
     "  velmora send alice bob @notes.txt        # the text of a file\n"
     "  date | velmora send alice bob -          # the text on standard input\n"},
    {"inbox", "inbox USER", "fetch the messages waiting for USER (the service hands them over)",
     "  velmora inbox bob\n"
     "  velmora inbox bob -j | jq -r .text\n"},
    {"watch", "watch USER", "print USER's messages as they arrive, until Ctrl-C",
     "  velmora watch bob\n"
     "  velmora watch bob -n 1 --for 60          # wait up to a minute for one message\n"},
    {"presence", "presence TEAM APP USER", "keep USER present and print TEAM's list when it changes, until Ctrl-C",
     "  velmora presence team chat alice\n"
     "  velmora presence team chat alice -s AWAY --heartbeat 10\n"},
    {"users", "users TEAM APP USER", "report USER present once and list TEAM's users",
     "  velmora users team chat alice\n"
     "  velmora users team chat alice --online -j\n"},
    {"put", "put TEAM TAG KEY VALUE", "store the JSON value VALUE under TEAM, TAG and KEY",
     "  velmora put team settings theme '\"dark\"'   # a text is JSON: quoted\n"
     "  velmora put team settings limits '{\"max\":10}'\n"
     "  velmora put team settings doc @doc.json   # the JSON in a file; '-' reads standard input\n"},
    {"get", "get TEAM TAG KEY", "print the value stored under TEAM, TAG and KEY",
     "  velmora get team settings theme\n"
     "  velmora get team settings limits -j | jq .max\n"
     "  velmora get team settings theme || echo 'not set'   # exit 3 when nothing is stored\n"},
    {"help", "help [COMMAND]", "show the commands, or one command's arguments and examples",
     "  velmora help put\n"},
};

const CommandInfo* commandNamed(const std::string& name) {
    for (const auto& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

std::string commandList() {
    std::string list = "usage: velmora [OPTIONS] COMMAND ARGS...\n\ncommands:\n";
    for (const auto& command : kCommands) {
        std::string usage = command.usage;
        usage.resize(std::max<std::size_t>(usage.size(), 24), ' ');
        list += "  " + usage + "  " + command.summary + "\n";
    }
    return list + "\n'velmora help COMMAND' shows a command's arguments and examples; "
                  "'velmora --help' the options.";
}

std::string versionText() {
    std::ostringstream text;
    text << "velmora " << std::fixed << std::setprecision(1) << VelmoraVersionNumber;
    return text.str();
}

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

// Validators whose complaints are sentences about the option, not CLI11's numeric ranges.
// The bounds keep every deadline the commands compute far from overflowing.
CLI::Validator secondsFrom(double lowest, double highest, const std::string& wanted) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool number = !text.empty() && end == text.c_str() + text.size() && std::isfinite(value);
            if (number && value >= lowest && value <= highest) return {};
            return "wants " + wanted + ", not '" + text + "'";
        },
        "SECONDS");
}

const CLI::Validator kSeconds = secondsFrom(0.001, 86400.0, "seconds from 0.001 to 86400 (one day)");
const CLI::Validator kDuration = secondsFrom(0.0, 366.0 * 86400.0, "seconds from 0 to 31622400 (a year)");

CLI::Validator wholeNumberFrom(std::int64_t lowest, std::int64_t highest, const std::string& wanted) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            std::int64_t value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc() && end == text.data() + text.size() && value >= lowest && value <= highest) {
                return {};
            }
            return "wants " + wanted + ", not '" + text + "'";
        },
        "N");
}

const CLI::Validator kCount = wholeNumberFrom(1, INT64_MAX, "a whole number of at least 1");
const CLI::Validator kRefreshRate = wholeNumberFrom(1, INT64_MAX, "a whole number of seconds, at least 1");

bool validOrigin(const std::string& origin) {
    for (const std::string scheme : {"https://", "http://"}) {
        if (origin.rfind(scheme, 0) == 0 && origin.size() > scheme.size() && origin[scheme.size()] != '/') {
            return true;
        }
    }
    return false;
}

bool takesValue(const std::string& option) {
    for (const char* name : {"--origin", "-o", "--ca-file", "--cert", "--key", "--timeout", "-t", "--status", "-s"}) {
        if (option == name) return true;
    }
    return false;
}

// The command word of the command line, skipping the options that come before it.
std::string commandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") return i + 1 < argc ? argv[i + 1] : "";
        if (arg.rfind("-", 0) == 0 && arg != "-") {
            if (takesValue(arg)) ++i;
            continue;
        }
        return arg;
    }
    return {};
}

// CLI11's complaint in the words of the command it concerns, with that command's usage.
std::string describe(const CLI::ParseError& error, const CommandInfo* command) {
    std::string what = error.what();
    const std::string where = command ? std::string(command->name) + ": " : std::string();
    std::string message;
    if (dynamic_cast<const CLI::RequiredError*>(&error)) {
        const auto is = what.find(" is required");
        message = "missing " + (is == std::string::npos ? what : what.substr(0, is));
    } else if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
        // CLI11 lists the extras last first.
        const auto colon = what.find(": ");
        std::vector<std::string> extras;
        std::istringstream words(colon == std::string::npos ? what : what.substr(colon + 2));
        for (std::string word; words >> word;) extras.insert(extras.begin(), word);
        const std::string first = extras.empty() ? what : extras.front();
        message = first.rfind("-", 0) == 0 && first.size() > 1 ? "unknown option '" + first + "'"
                                                               : "unexpected argument '" + first + "'";
    } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
        const auto colon = what.find(':');
        message = (colon == std::string::npos ? what : what.substr(0, colon)) + " needs a value";
    } else if (dynamic_cast<const CLI::ValidationError*>(&error) ||
               dynamic_cast<const CLI::ConversionError*>(&error)) {
        const auto colon = what.find(": ");
        message = colon == std::string::npos ? what : what.substr(0, colon) + " " + what.substr(colon + 2);
    } else {
        message = what;
    }
    message = where + message;
    if (command) message += " (usage: velmora " + std::string(command->usage) + ")";
    return message;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"velmora: talk to a Velmora service from the command line.\n"
                 "Messages, presence and the shared store, one command at a time.",
                 "velmora"};
    app.footer(std::string("\n") + commandList() + "\n\n" + kExitCodes +
               "\nEnvironment:\n"
               "  VELMORA_ORIGIN   service origin when --origin is not given\n"
               "  VELMORA_CA_FILE  CA file when --ca-file is not given\n"
               "  VELMORA_CERT     client certificate when --cert is not given\n"
               "  VELMORA_KEY      client key when --key is not given\n");
    app.require_subcommand(0, 1);
    app.fallthrough();  // global options may also follow the command
    app.set_version_flag("-V,--version", versionText());

    Common common;
    Running watching;
    Running present;
    present.interval = 1.0;
    app.add_option("-o,--origin", common.origin,
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
    app.add_option("-t,--timeout", common.timeout, "Seconds without any data moving before a call is given up")
        ->check(kSeconds)
        ->capture_default_str()
        ->type_name("SECONDS");
    app.add_option("-s,--status", common.status, "Presence state reported by presence and users")
        ->capture_default_str()
        ->type_name("TEXT");
    app.add_flag("-j,--json", common.json,
                 "Machine-readable output: one JSON document, or one JSON object per line for "
                 "inbox, watch and presence");

    std::string from, to, text, user, team, appCode, tag, key, value, topic;
    std::int64_t refreshRate = 3;
    std::optional<std::int64_t> presenceRate;
    bool online = false;

    auto* send = app.add_subcommand("send", "Send TEXT from user FROM to user TO");
    send->add_option("FROM", from, "Sender")->required();
    send->add_option("TO", to, "Recipient")->required();
    send->add_option("TEXT", text,
                     "The message (quote it); @FILE: the text of FILE; -: standard input. "
                     "A text holding \"§\" cannot be sent; \"~\" arrives as \"|\"")
        ->required();

    auto* inbox = app.add_subcommand("inbox", "Fetch the messages waiting for USER (the service hands them over)");
    inbox->add_option("USER", user, "Recipient")->required();

    auto* watch = app.add_subcommand("watch", "Poll for USER's messages and print each as it arrives, until Ctrl-C");
    watch->add_option("USER", user, "Recipient")->required();
    watch->add_option("-i,--interval", watching.interval, "Seconds between polls")
        ->check(kSeconds)
        ->capture_default_str()
        ->type_name("SECONDS");
    watch->add_option("-n,--count", watching.count, "Stop once N messages have arrived (exit 1 if --for ends first)")
        ->check(kCount)
        ->type_name("N");
    watch->add_option("--for", watching.duration, "Stop after this many seconds")->check(kDuration)->type_name("SECONDS");

    auto* presence = app.add_subcommand(
        "presence", "Keep USER present in TEAM and print the team's list when it changes, until Ctrl-C");
    presence->add_option("TEAM", team, "Team")->required();
    presence->add_option("APP", appCode, "Application code")->required();
    presence->add_option("USER", user, "User name")->required();
    presence->add_option("-i,--interval", present.interval, "Seconds between list refreshes")
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
        ->check(kRefreshRate)
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
        ->check(kRefreshRate)
        ->capture_default_str()
        ->type_name("N");

    auto* put = app.add_subcommand("put", "Store the JSON value VALUE under TEAM, TAG and KEY");
    put->add_option("TEAM", team, "Team")->required();
    put->add_option("TAG", tag, "Tag")->required();
    put->add_option("KEY", key, "Key")->required();
    put->add_option("VALUE", value,
                    "A JSON value: 42, true, '\"text\"', '{\"a\":[1,2]}'; @FILE: the JSON in FILE; -: standard input")
        ->required();

    auto* get = app.add_subcommand("get", "Print the value stored under TEAM, TAG and KEY");
    get->add_option("TEAM", team, "Team")->required();
    get->add_option("TAG", tag, "Tag")->required();
    get->add_option("KEY", key, "Key")->required();

    auto* help = app.add_subcommand("help", "Show the commands, or the arguments and examples of COMMAND");
    help->add_option("COMMAND", topic, "A command");

    for (auto* sub : app.get_subcommands({})) {
        const CommandInfo* info = commandNamed(sub->get_name());
        sub->footer(std::string("\nExamples:\n") + (info ? info->examples : "") +
                    "\nThe options -o/--origin, --ca-file, -t/--timeout, -s/--status and -j/--json go\n"
                    "before or after the command (see 'velmora --help').\n\n" +
                    kExitCodes);
    }

    // CLI11 reports an unknown command as a stray argument; name it instead.
    const std::string word = commandWord(argc, argv);
    const CommandInfo* command = commandNamed(word);
    if (!word.empty() && !command) {
        printError("unknown command '" + word + "'; run 'velmora help' for the list");
        return kUsage;
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e) == 0 ? kSuccess : kUsage;  // --help, --version
    } catch (const CLI::ParseError& e) {
        printError(describe(e, command));
        return kUsage;
    }

    if (*help || app.get_subcommands().empty()) {
        if (topic.empty()) {
            // A bare `velmora` is most likely a person finding their way: the list, but as
            // a usage error so that a script that lost its arguments does not carry on.
            std::fputs((commandList() + "\n").c_str(), *help ? stdout : stderr);
            return *help ? kSuccess : kUsage;
        }
        const CommandInfo* info = commandNamed(topic);
        if (!info) {
            printError("help: unknown command '" + topic + "'; run 'velmora help' for the list");
            return kUsage;
        }
        std::fputs(app.get_subcommand(topic)->help("velmora").c_str(), stdout);
        return kSuccess;
    }

    if (!common.origin.empty() && !validOrigin(common.origin)) {
        printError(std::string(std::getenv("VELMORA_ORIGIN") ? "--origin (or VELMORA_ORIGIN)" : "--origin") +
                   " must start with https:// or http:// followed by a host: " + common.origin);
        return kUsage;
    }
    if (!common.caFile.empty() && !std::ifstream(common.caFile)) {
        printError("cannot read the CA file " + common.caFile + " (given by " +
                   (std::getenv("VELMORA_CA_FILE") ? "--ca-file or VELMORA_CA_FILE" : "--ca-file") + ")");
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

    if (*send) {
        const auto message = readArgument(text, "TEXT", "send");
        if (!message) return kUsage;
        text = *message;
    }
    if (*put) {
        const auto json = readArgument(value, "VALUE", "put");
        if (!json) return kUsage;
        value = *json;
    }
    for (const auto* argument : {&from, &to, &text, &user, &team, &appCode, &tag, &key, &value, &common.status}) {
        if (!validUtf8(*argument)) {
            printError(std::string(command ? command->name : "velmora") +
                       ": arguments must be valid UTF-8 text (so must a file or standard input given as one)");
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
