#pragma once
// Shows the program's messages as message boxes on the interface thread, whichever thread
// raises them. A message raised on another thread (a link watcher starting capture) is handed
// over as a queued call, so that thread never waits for the user; messages that audio threads
// post are collected by a timer. One box at a time: messages that arrive while one is open
// follow when it closes.
//
// Threads: constructed and destroyed on the interface thread; its sink may be called on any
// thread but the audio threads (they post instead).

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>

class QTimer;

namespace timbrelo {

class MessagePresenter : public QObject {
    Q_OBJECT

  public:
    // Shows one message and returns when the user has seen it (a modal box by default).
    using Show = std::function<void(const QString&)>;

    // Becomes the program's message sink until destroyed.
    explicit MessagePresenter(Show show = {}, QObject* parent = nullptr);
    ~MessagePresenter() override;

    // How often the messages posted by audio threads are collected.
    static constexpr int kDrainMs = 200;

  private:
    struct Link;
    void present(const QString& text);

    Show show_;
    std::shared_ptr<Link> link_;
    std::function<void(std::string_view)> previous_;
    QTimer* drain_ = nullptr;
    QStringList pending_;
    bool showing_ = false;
};

} // namespace timbrelo
