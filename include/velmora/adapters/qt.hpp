#pragma once
// Qt 6: a thread's RunLoop served by that thread's Qt event loop, and completions brought to
// a QObject's thread. Header-only; include it where Qt is used.

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

#include <memory>
#include <stdexcept>
#include <utility>

#include <velmora/run_loop.hpp>

namespace velmora::qt {

// Attaches the calling thread's RunLoop to the Qt event loop of that thread
// (QCoreApplication::exec(), QThread::exec(), a QEventLoop, a modal dialog's loop): its ticks
// and posted work run there. Made and destroyed on that thread, once its event dispatcher
// exists (after the QCoreApplication, or inside the QThread). Throws std::runtime_error
// where the loop has no descriptor.
class Attachment {
public:
    Attachment() : loop_(RunLoop::current()) {
        const int fd = loop_.descriptor();
        if (fd < 0) throw std::runtime_error("velmora::qt::Attachment: no run loop descriptor");
        notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                         [loop = &loop_] { loop->serveDue(); });
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

private:
    RunLoop& loop_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// Wraps `f` into a completion that any thread may call; `f` then runs with copies of the
// arguments on the thread of `context` (the thread that makes the wrapper, whose RunLoop is
// attached), unless `context` has been deleted by then. A call after that thread has ended
// is dropped.
template <class F>
auto bringHome(QObject* context, F f) {
    return [post = RunLoop::current().poster(), guard = QPointer<QObject>(context), f = std::move(f)](auto... args) {
        post([guard, f, args...]() mutable {
            if (guard) f(std::move(args)...);
        });
    };
}

}  // namespace velmora::qt
