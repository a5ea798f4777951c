// The run loop served by a Qt event loop, completions brought to a QObject's thread.

#include <velmora/adapters/qt.hpp>

#include <QCoreApplication>
#include <QTimer>

#include "adapters/scenario.hpp"

namespace velmora {
namespace {

namespace vt = velmora::testing;

TEST(QtAdapter, TicksCompletionsAndPostedWorkRunInsideExecUntilTheTimersStop) {
    vt::TestServer server;
    vt::AdapterScenario scenario(server);
    int argc = 1;
    char name[] = "qt_adapter_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    velmora::qt::Attachment attachment;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { scenario.giveUp(); });
    deadline.start(vt::AdapterScenario::kDeadline);
    scenario.start([&](auto f) { return velmora::qt::bringHome(&app, std::move(f)); },
                   [&] {
                       deadline.stop();
                       app.quit();
                   });
    EXPECT_EQ(app.exec(), 0);
    scenario.expectEverythingSeenOnThisThread();
}

}  // namespace
}  // namespace velmora
