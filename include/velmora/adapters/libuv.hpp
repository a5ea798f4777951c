#pragma once
// libuv: a thread's RunLoop served by a uv_loop_t that the thread runs, and completions
// brought to that loop. Header-only; include it where libuv is used.

#include <uv.h>

#include <stdexcept>
#include <utility>

#include <velmora/run_loop.hpp>

namespace velmora::uv {

// Attaches the calling thread's RunLoop to `loop`: its ticks and posted work run inside
// `uv_run(loop, ...)` on this thread, which must be the only one to run `loop`. While attached,
// `uv_run(loop, UV_RUN_DEFAULT)` does not run out of work; `close()` (or destruction) ends
// the attachment, on this thread, and the loop has to run once more to finish closing its
// handle, as every libuv handle does. Throws std::runtime_error where the loop has no
// descriptor or libuv refuses it.
class Attachment {
public:
    explicit Attachment(uv_loop_t* loop) : handle_(new uv_poll_t) {
        const int fd = RunLoop::current().descriptor();
        if (fd < 0 || uv_poll_init(loop, handle_, fd) != 0) {
            delete handle_;
            throw std::runtime_error("velmora::uv::Attachment: cannot watch the run loop descriptor");
        }
        handle_->data = &RunLoop::current();
        uv_poll_start(handle_, UV_READABLE, [](uv_poll_t* handle, int status, int) {
            if (status >= 0) static_cast<RunLoop*>(handle->data)->serveDue();
        });
    }
    ~Attachment() { close(); }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

    void close() {
        if (!handle_) return;
        uv_close(reinterpret_cast<uv_handle_t*>(std::exchange(handle_, nullptr)),
                 [](uv_handle_t* handle) { delete reinterpret_cast<uv_poll_t*>(handle); });
    }

private:
    uv_poll_t* handle_;
};

// Wraps `f` into a completion that any thread may call; `f` then runs with copies of the
// arguments on the calling thread's RunLoop (attached to a uv loop: inside `uv_run`). Made on
// the loop's thread. A call after that thread has ended is dropped.
template <class F>
auto bringHome(F f) {
    return [post = RunLoop::current().poster(), f = std::move(f)](auto... args) {
        post([f, args...]() mutable { f(std::move(args)...); });
    };
}

}  // namespace velmora::uv
