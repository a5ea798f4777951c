// STUB: replaced by the polling work.
#include <velmora/velmora.hpp>
namespace velmora {
bool Velmora::receiveMessages(const std::string&, ValueCallback) { return true; }
}  // namespace velmora
