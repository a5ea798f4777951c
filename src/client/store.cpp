// The shared store's operations: their request bodies and which reading of the reply each
// form makes.

#include <velmora/velmora.hpp>

#include "wire/body.hpp"
#include "client/service_call.hpp"

namespace velmora {

namespace {

detail::BodyWriter addressBody(const std::string& team, const std::string& tag, const std::string& key) {
    detail::BodyWriter body;
    body.text("gruppo", team).text("sottogruppo", tag).text("chiave", key);
    return body;
}

detail::Body writeBody(const std::string& team, const std::string& tag, const std::string& key,
                       const JsonValue& value) {
    return addressBody(team, tag, key).value("valore", value).finish();
}

}  // namespace

Result<bool> Velmora::write(const std::string& team, const std::string& tag, const std::string& key,
                           const JsonValue& value) {
    return detail::callBoolOutcome(target_, detail::Endpoint::write, writeBody(team, tag, key, value));
}

void Velmora::write(const std::string& team, const std::string& tag, const std::string& key, const JsonValue& value,
                    std::function<void(Result<bool>)> done) {
    detail::callBoolOutcomeAsync(target_, detail::Endpoint::write, writeBody(team, tag, key, value),
                                 weak_from_this().lock(), std::move(done));
}

// A bare value in the reply belongs to the key that was asked for.
Result<StringMap> Velmora::read(const std::string& team, const std::string& tag, const std::string& key) {
    return detail::callMapOutcome(target_, detail::Endpoint::read, addressBody(team, tag, key).finish(), key);
}

void Velmora::read(const std::string& team, const std::string& tag, const std::string& key,
                   std::function<void(Result<StringMap>)> done) {
    detail::callMapOutcomeAsync(target_, detail::Endpoint::read, addressBody(team, tag, key).finish(), key,
                                weak_from_this().lock(), std::move(done));
}

bool Velmora::writeSync(const std::string& team, const std::string& tag, const std::string& key,
                        const JsonValue& value) {
    return detail::callBool(target_, detail::Endpoint::write, writeBody(team, tag, key, value));
}

bool Velmora::writeAsync(const std::string& team, const std::string& tag, const std::string& key,
                         const JsonValue& value, BoolCallback completion) {
    return detail::callBoolAsync(target_, detail::Endpoint::write, writeBody(team, tag, key, value),
                                 std::move(completion));
}

StringMap Velmora::readSync(const std::string& team, const std::string& tag, const std::string& key) {
    return detail::callMap(target_, detail::Endpoint::read, addressBody(team, tag, key).finish(), key);
}

bool Velmora::readAsync(const std::string& team, const std::string& tag, const std::string& key,
                        ValueCallback completion) {
    return detail::callMapAsync(target_, detail::Endpoint::read, addressBody(team, tag, key).finish(), key,
                                std::move(completion));
}

}  // namespace velmora
