// The messaging operations: their request bodies and which reading of the reply each form
// makes; the call itself is service_call's.

#include <velmora/velmora.hpp>

#include "wire/body.hpp"
#include "client/service_call.hpp"

namespace velmora {

namespace {

detail::Body sendBody(const std::string& from, const std::string& to, const std::string& message) {
    return detail::BodyWriter()
        .text("destinatario", to)
        .text("mittente", from)
        .text("messaggio", message)
        .finish();
}

detail::Body fetchBody(const std::string& receiver) {
    return detail::BodyWriter().text("destinatario", receiver).finish();
}

}  // namespace

Result<bool> Velmora::sendMessage(const std::string& from, const std::string& to, const std::string& message) {
    return detail::callBoolOutcome(target_, detail::Endpoint::sendMessage, sendBody(from, to, message));
}

void Velmora::sendMessage(const std::string& from, const std::string& to, const std::string& message,
                          std::function<void(Result<bool>)> done) {
    detail::callBoolOutcomeAsync(target_, detail::Endpoint::sendMessage, sendBody(from, to, message),
                                 weak_from_this().lock(), std::move(done));
}

Result<StringMap> Velmora::receiveMessage(const std::string& receiver) {
    return detail::callMapOutcome(target_, detail::Endpoint::receiveMessage, fetchBody(receiver), "");
}

void Velmora::receiveMessage(const std::string& receiver, std::function<void(Result<StringMap>)> done) {
    detail::callMapOutcomeAsync(target_, detail::Endpoint::receiveMessage, fetchBody(receiver), "",
                                weak_from_this().lock(), std::move(done));
}

bool Velmora::sendMessageSync(const std::string& from, const std::string& to, const std::string& message) {
    return detail::callBool(target_, detail::Endpoint::sendMessage, sendBody(from, to, message),
                            {.reportParseError = true});
}

bool Velmora::sendMessageAsync(const std::string& from, const std::string& to, const std::string& message,
                               BoolCallback completion) {
    return detail::callBoolAsync(target_, detail::Endpoint::sendMessage, sendBody(from, to, message),
                                 std::move(completion));
}

StringMap Velmora::receiveMessageSync(const std::string& receiver) {
    return detail::callMap(target_, detail::Endpoint::receiveMessage, fetchBody(receiver), "");
}

bool Velmora::receiveMessageAsync(const std::string& receiver, ValueCallback completion) {
    return detail::callMapAsync(target_, detail::Endpoint::receiveMessage, fetchBody(receiver), "",
                                std::move(completion));
}

}  // namespace velmora
