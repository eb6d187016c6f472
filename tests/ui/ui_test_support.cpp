#include "ui/ui_test_support.h"

#include "ui/input_device_dialog.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QPushButton>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace timbrelo::test {
namespace {

std::string makeFolder(const char* name) {
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/timbrelo-ui-" + name + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    return pattern;
}

class UiEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        // Without a display the window tests use Qt's offscreen platform. The folders keep
        // the settings file and the single-instance lock away from the user's.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        runtime_ = makeFolder("runtime");
        config_ = makeFolder("config");
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
        configHome() = config_;
        app_ = std::make_unique<QApplication>(argc_, argv_);
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void TearDown() override {
        app_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(runtime_, ignored);
        std::filesystem::remove_all(config_, ignored);
    }

    static std::string& configHome() {
        static std::string home;
        return home;
    }

  private:
    int argc_ = 1;
    char name_[16] = "ui_test";
    char* argv_[2] = {name_, nullptr};
    std::string runtime_;
    std::string config_;
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new UiEnvironment);

} // namespace

const std::string& uiConfigHome() {
    return UiEnvironment::configHome();
}

ThreadWatch::ThreadWatch(QWidget* root) : root_(root) {
    for (QWidget* w : root->findChildren<QWidget*>()) {
        w->installEventFilter(this);
    }
}

ThreadWatch::~ThreadWatch() {
    for (QWidget* w : root_->findChildren<QWidget*>()) {
        w->removeEventFilter(this);
    }
}

bool ThreadWatch::eventFilter(QObject*, QEvent*) {
    std::lock_guard lock(mutex_);
    threads_.insert(QThread::currentThread());
    return false;
}

std::set<QThread*> ThreadWatch::threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

InputDeviceDialog* openMicrophoneDialog(MainWindow& window) {
    window.controls().selectMic->click();
    InputDeviceDialog* dialog = nullptr;
    const bool shown = processUntil([&] {
        dialog = window.findChild<InputDeviceDialog*>();
        return dialog != nullptr && dialog->isVisible();
    });
    return shown ? dialog : nullptr;
}

} // namespace timbrelo::test
