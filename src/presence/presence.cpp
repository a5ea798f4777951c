// STUB: replaced by the presence work.
#include <velmora/velmora.hpp>
namespace velmora {
void Velmora::initUser(const std::string&, const std::string&, const std::string&, std::int64_t) {}
StringMap Velmora::getUsers(const std::string&, const std::string&, const std::string&, std::int64_t, bool, bool) { return {}; }
bool Velmora::receiveUsers(const std::string&, const std::string&, const std::string&, std::int64_t, ValueCallback) { return true; }
StringMap Velmora::status(const std::string&, const std::string&, std::int64_t, const std::string&, const std::string&, bool, bool) { return {}; }
}  // namespace velmora
