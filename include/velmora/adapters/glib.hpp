#pragma once
// GLib: a thread's RunLoop served by a GMainContext that the thread iterates, and
// completions brought to a context. Header-only; include it where GLib is used.

#include <glib.h>

#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <velmora/run_loop.hpp>

namespace velmora::glib {

// Attaches the calling thread's RunLoop to `context` (nullptr: the default context) as a
// source of `priority`: its ticks and posted work run while this thread iterates the context
// (g_main_loop_run, gtk_main, g_main_context_iteration). Destroy it on this thread. Throws
// std::runtime_error where the loop has no descriptor.
class Attachment {
public:
    explicit Attachment(GMainContext* context = nullptr, int priority = G_PRIORITY_DEFAULT) {
        const int fd = RunLoop::current().descriptor();
        if (fd < 0) throw std::runtime_error("velmora::glib::Attachment: no run loop descriptor");
        static GSourceFuncs funcs = {nullptr, nullptr, &dispatch, nullptr, nullptr, nullptr};
        source_ = reinterpret_cast<Source*>(g_source_new(&funcs, sizeof(Source)));
        source_->loop = &RunLoop::current();
        g_source_add_unix_fd(&source_->base, fd, G_IO_IN);
        g_source_set_priority(&source_->base, priority);
        g_source_set_name(&source_->base, "velmora run loop");
        g_source_attach(&source_->base, context);
    }
    ~Attachment() {
        g_source_destroy(&source_->base);
        g_source_unref(&source_->base);
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

private:
    struct Source {
        GSource base;
        RunLoop* loop;
    };
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
        reinterpret_cast<Source*>(source)->loop->serveDue();
        return G_SOURCE_CONTINUE;
    }

    Source* source_;
};

// Wraps `f` into a completion that any thread may call; `f` then runs with copies of the
// arguments on the thread that iterates `context` (nullptr: the default context), never on
// the caller's (which g_main_context_invoke may pick when the context is free).
template <class F>
auto bringHome(GMainContext* context, F f) {
    // Held by the wrapper: the context lives as long as a completion may still reach it.
    std::shared_ptr<GMainContext> ctx(g_main_context_ref(context ? context : g_main_context_default()),
                                      &g_main_context_unref);
    return [ctx, f = std::move(f)](auto... args) {
        auto* call = new auto([f, args...]() mutable { f(std::move(args)...); });
        using Call = std::remove_pointer_t<decltype(call)>;
        GSource* idle = g_idle_source_new();
        g_source_set_callback(
            idle,
            [](gpointer data) -> gboolean {
                (*static_cast<Call*>(data))();
                return G_SOURCE_REMOVE;
            },
            call, [](gpointer data) { delete static_cast<Call*>(data); });
        g_source_attach(idle, ctx.get());
        g_source_unref(idle);
    };
}

}  // namespace velmora::glib
