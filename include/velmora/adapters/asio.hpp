#pragma once
// Boost.Asio: a thread's RunLoop served by an io_context that the thread runs, and
// completions brought to an executor. Header-only; include it where Boost.Asio is used.

#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <velmora/run_loop.hpp>

namespace velmora::asio {

// Attaches the calling thread's RunLoop to `io`: its ticks and posted work run inside
// `io.run()` (or `run_one`, `poll`, ...) on this thread. Run `io` on this thread only: on any
// other the loop is not served. While attached, `io.run()` does not run out of work; destroy
// the attachment, on this thread, to let it return. Throws std::runtime_error where the loop
// has no descriptor.
class Attachment {
public:
    explicit Attachment(boost::asio::io_context& io) : loop_(RunLoop::current()) {
        // A duplicate: the stream descriptor closes what it holds, the loop keeps its own.
        const int fd = loop_.descriptor() >= 0 ? ::dup(loop_.descriptor()) : -1;
        if (fd < 0) throw std::runtime_error("velmora::asio::Attachment: no run loop descriptor");
        watch_ = std::make_shared<boost::asio::posix::stream_descriptor>(io, fd);
        wait(watch_, loop_);
    }
    ~Attachment() {
        boost::system::error_code ignored;
        watch_->close(ignored);  // the pending wait ends with operation_aborted
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

private:
    static void wait(std::shared_ptr<boost::asio::posix::stream_descriptor> watch, RunLoop& loop) {
        auto& w = *watch;
        w.async_wait(boost::asio::posix::descriptor_base::wait_read,
                     [watch = std::move(watch), &loop](const boost::system::error_code& error) mutable {
                         if (error || !watch->is_open()) return;
                         loop.serveDue();
                         wait(std::move(watch), loop);
                     });
    }

    RunLoop& loop_;
    std::shared_ptr<boost::asio::posix::stream_descriptor> watch_;
};

// Wraps `f` into a completion that any thread may call; `f` then runs on `executor` (an
// io_context's executor: on the thread that runs it) with copies of the arguments. The
// io_context counts it as outstanding work until the wrapper is destroyed, so a completion
// on its way is not lost to an io_context that ran out of work.
template <class Executor, class F>
auto bringHome(const Executor& executor, F f) {
    auto work = std::make_shared<boost::asio::executor_work_guard<Executor>>(executor);
    return [executor, work = std::move(work), f = std::move(f)](auto... args) {
        boost::asio::post(executor, [f, args...]() mutable { f(std::move(args)...); });
    };
}

}  // namespace velmora::asio
