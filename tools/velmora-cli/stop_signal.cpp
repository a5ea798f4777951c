#include "stop_signal.hpp"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "output.hpp"

namespace velmora::cli {

namespace {

// One StopSignal at a time per process; the handler can reach nothing but these.
int wakePipe[2] = {-1, -1};
struct sigaction previousInt;
struct sigaction previousTerm;

constexpr char kSignalled = 's';
constexpr char kShutdown = 'q';

extern "C" void onStopSignal(int) {
    const int saved = errno;
    const char byte = kSignalled;
    // The write end is non-blocking: a full pipe already holds a wake-up.
    [[maybe_unused]] const auto written = ::write(wakePipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

StopSignal::StopSignal(std::function<void()> stop, std::string notice, std::chrono::milliseconds checkPeriod,
                       std::function<void()> check)
    : stop_(std::move(stop)), notice_(std::move(notice)), checkPeriod_(checkPeriod), check_(std::move(check)) {
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return;

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // a second signal takes the default action
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
    installed_ = true;
    helper_ = std::thread([this] { serve(); });
}

StopSignal::~StopSignal() {
    if (!installed_) return;
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    const char byte = kShutdown;
    while (::write(wakePipe[1], &byte, 1) < 0 && (errno == EINTR || errno == EAGAIN)) {
    }
    helper_.join();
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
    wakePipe[0] = wakePipe[1] = -1;
}

void StopSignal::serve() {
    const auto period = static_cast<int>(checkPeriod_.count() > 0 ? checkPeriod_.count() : -1);
    pollfd fd{wakePipe[0], POLLIN, 0};
    while (true) {
        const int ready = ::poll(&fd, 1, check_ ? period : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) {
            check_();
            continue;
        }
        char bytes[16];
        const auto n = ::read(wakePipe[0], bytes, sizeof bytes);
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == kShutdown) return;
            if (bytes[i] == kSignalled && !interrupted_.exchange(true)) {
                if (!notice_.empty()) printError(notice_ + "; Ctrl-C again quits now");
                stop_();
            }
        }
    }
}

}  // namespace velmora::cli
