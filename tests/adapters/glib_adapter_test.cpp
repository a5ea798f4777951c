// The run loop served by a GLib main loop, completions brought to its context.

#include <velmora/adapters/glib.hpp>

#include "adapters/scenario.hpp"

namespace velmora {
namespace {

namespace vt = velmora::testing;

TEST(GlibAdapter, TicksCompletionsAndPostedWorkRunInsideTheMainLoopUntilTheTimersStop) {
    vt::TestServer server;
    vt::AdapterScenario scenario(server);
    // A context of the test's own, as a thread other than the main one would have.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    {
        velmora::glib::Attachment attachment(context);
        GSource* deadline = g_timeout_source_new_seconds(static_cast<guint>(vt::AdapterScenario::kDeadline.count()));
        g_source_set_callback(
            deadline,
            [](gpointer s) {
                static_cast<vt::AdapterScenario*>(s)->giveUp();
                return G_SOURCE_REMOVE;
            },
            &scenario, nullptr);
        g_source_attach(deadline, context);
        scenario.start([context](auto f) { return velmora::glib::bringHome(context, std::move(f)); },
                       [&] {
                           g_source_destroy(deadline);
                           g_main_loop_quit(loop);
                       });
        g_main_loop_run(loop);
        g_source_unref(deadline);
    }
    scenario.expectEverythingSeenOnThisThread();
    g_main_loop_unref(loop);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

}  // namespace
}  // namespace velmora
