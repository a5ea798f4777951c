// STUB: replaced by the run loop work.
#include <velmora/run_loop.hpp>
namespace velmora {
namespace detail { class LoopCore {}; }
struct RunLoopOwner { RunLoop loop; };
RunLoop::RunLoop() : core_(std::make_shared<detail::LoopCore>()) {}
RunLoop::~RunLoop() = default;
RunLoop& RunLoop::current() { thread_local RunLoopOwner owner; return owner.loop; }
void RunLoop::run() {}
void RunLoop::runFor(std::chrono::steady_clock::duration) {}
void RunLoop::stop() {}
void RunLoop::post(std::function<void()>) {}
}  // namespace velmora
