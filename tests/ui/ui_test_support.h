#pragma once
// What every window test needs: a QApplication on the offscreen platform, with the runtime
// and configuration folders of its own (set up once per test program), and ways to wait for
// the interface thread.

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <string>

namespace timbrelo::test {

// The test program's configuration folder ($XDG_CONFIG_HOME).
const std::string& uiConfigHome();

// Runs the event loop until `condition` holds or the time is up; whether it held.
template <typename Condition>
bool processUntil(Condition condition,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

} // namespace timbrelo::test
