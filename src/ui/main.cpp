// timbrelo: the voice changer's window.
//
// One copy per user: a second one (window or headless) ends at once, silently, with status 0.
// Exit (the button or the tray menu), SIGINT, SIGTERM, SIGHUP, the end of the desktop
// session and a lost display all run the full Exit, which puts the user's default devices
// back and takes the virtual pair down.

#include "cli/backend_choice.h"
#include "control/bus_service.h"
#include "platform/debug.h"
#include "platform/messages.h"
#include "platform/single_instance.h"
#include "ui/main_window.h"
#include "ui/message_presenter.h"
#include "ui/process_priority.h"
#include "ui/session_voice_engine.h"
#include "ui/window_control.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

using timbrelo::MainWindow;

// The window whose Exit still has to run when the process ends by exit() (Qt calls it when
// the display goes away): the voice changer must not leave the user's devices switched.
MainWindow* windowToExit = nullptr;

void exitAtProcessEnd() {
    if (MainWindow* window = windowToExit) {
        windowToExit = nullptr;
        window->exitProgram();
    }
}

// The stop signals are blocked in every thread (the audio threads inherit the mask) and read
// from a descriptor on the interface thread.
int takeStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // A display or sound server that goes away must not end the program before its Exit.
    std::signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
}

} // namespace

int main(int argc, char** argv) {
    const timbrelo::SingleInstance instance;
    if (!instance.first()) {
        return 0;
    }
    // Before any thread starts: the nice value and the signal mask are per thread.
    timbrelo::raisePriorityWithoutPrivileges();
    const int stopSignals = takeStopSignals();

    QApplication app(argc, argv);
    QApplication::setApplicationName("Timbrelo");
    QApplication::setApplicationVersion("1.0");
    QApplication::setDesktopFileName("timbrelo");
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription("Timbrelo: a real-time voice changer.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption backendOption(
        "backend", "The sound system: pulse (the sound server) or sim (simulated).", "kind");
    const QCommandLineOption debugOption("debug", "Print the diagnostic lines.");
    parser.addOption(backendOption);
    parser.addOption(debugOption);
    parser.process(app);
    if (parser.isSet(debugOption)) {
        timbrelo::setDebugToStderr(true);
    }

    const timbrelo::MessagePresenter messages;
    const std::string choice = parser.value(backendOption).toStdString();
    std::unique_ptr<timbrelo::AudioBackend> backend = timbrelo::createAudioBackend(choice);
    if (!backend) {
        timbrelo::showMessage("Unknown sound system \"" + choice + "\" (choose one of " +
                              std::string(timbrelo::kAudioBackendChoices) + ").");
        return 2;
    }
    const std::string kind = backend->kind();
    if (kind == "sim" && choice.empty() && std::getenv(timbrelo::kAudioBackendEnv) == nullptr) {
        // Chosen only because no server answered: a voice changer nobody could hear.
        timbrelo::showMessage("No sound server answers: start PulseAudio or PipeWire.");
        return 1;
    }

    timbrelo::SessionVoiceEngine engine(
        *backend, [kind](std::string& why) { return timbrelo::openVirtualDevice(kind, why); });
    MainWindow window(engine);
    // A stop signal during the start-up (which may wait in a message box) takes effect as
    // soon as the start-up is over.
    bool startingUp = true;
    bool stopAsked = false;
    std::unique_ptr<QSocketNotifier> stopSignal;
    if (stopSignals >= 0) {
        stopSignal = std::make_unique<QSocketNotifier>(stopSignals, QSocketNotifier::Read);
        QObject::connect(stopSignal.get(), &QSocketNotifier::activated, &window, [&] {
            signalfd_siginfo info{};
            while (read(stopSignals, &info, sizeof info) == sizeof info) {
            }
            if (!startingUp) {
                window.exitProgram();
                return;
            }
            stopAsked = true;
            if (QWidget* box = QApplication::activeModalWidget()) {
                box->close();
            }
        });
    }
    window.show();
    const bool started = window.startUp();
    startingUp = false;
    if (!started) {
        return 1;
    }
    if (stopAsked) {
        window.exitProgram();
        return 0;
    }
    windowToExit = &window;
    std::atexit(exitAtProcessEnd);

    // Remote control over the session bus, on this thread: the bus is read when it has
    // something, and looked at on a timer for changes made without a call (capture starting).
    timbrelo::WindowControl control(window);
    timbrelo::control::BusService bus(control);
    std::unique_ptr<QSocketNotifier> busReadable;
    QTimer busRefresh;
    if (std::string why; bus.open(why)) {
        busReadable = std::make_unique<QSocketNotifier>(bus.fd(), QSocketNotifier::Read);
        QObject::connect(busReadable.get(), &QSocketNotifier::activated, &window,
                         [&bus] { bus.process(); });
        QObject::connect(&busRefresh, &QTimer::timeout, &window, [&bus] { bus.process(); });
        busRefresh.start(250);
    } else {
        std::fprintf(stderr, "timbrelo: no remote control: %s\n", why.c_str());
    }

    const int status = QApplication::exec();
    // The session manager may end the loop without Exit (the desktop session ends).
    window.exitProgram();
    windowToExit = nullptr;
    busRefresh.stop();
    busReadable.reset();
    // A Quit call is answered once the Exit has put everything back.
    bus.quitDone();
    return status;
}
