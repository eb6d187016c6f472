#pragma once
// What every window test needs: a QApplication on the offscreen platform with runtime and
// configuration folders of its own (set up once per test program), waiting on the interface
// thread, and a watch on the threads that widgets are touched from.

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <chrono>
#include <mutex>
#include <set>
#include <string>

class QWidget;

namespace timbrelo {
class InputDeviceDialog;
class MainWindow;
} // namespace timbrelo

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

// Clicks Select MIC and waits for its dialog to show; nullptr when it does not.
InputDeviceDialog* openMicrophoneDialog(MainWindow& window);

// Records the thread of every event that `root`'s widgets receive while it lives: a widget
// touched from another thread receives events on that thread.
class ThreadWatch : public QObject {
  public:
    explicit ThreadWatch(QWidget* root);
    ~ThreadWatch() override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    std::set<QThread*> threads() const;

  private:
    QWidget* root_;
    mutable std::mutex mutex_;
    std::set<QThread*> threads_;
};

} // namespace timbrelo::test
