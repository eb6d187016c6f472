#include "ui/message_presenter.h"

#include "platform/messages.h"
#include "platform/posted_messages.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <mutex>

namespace timbrelo {

// What the sink reaches the presenter through: cleared when the presenter goes, so a sink
// call on another thread never posts to a destroyed object.
struct MessagePresenter::Link {
    std::mutex mutex;
    MessagePresenter* target = nullptr;
};

namespace {

void showMessageBox(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(loadString(IDS_APP_TITLE)), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

} // namespace

MessagePresenter::MessagePresenter(Show show, QObject* parent)
    : QObject(parent), show_(show ? std::move(show) : Show(showMessageBox)),
      link_(std::make_shared<Link>()) {
    link_->target = this;
    previous_ = setMessageSink([link = link_](std::string_view text) {
        const QString message = QString::fromUtf8(text.data(), static_cast<int>(text.size()));
        std::unique_lock lock(link->mutex);
        MessagePresenter* target = link->target;
        if (target == nullptr) {
            return;
        }
        if (QThread::currentThread() != target->thread()) {
            QMetaObject::invokeMethod(
                target, [target, message] { target->present(message); }, Qt::QueuedConnection);
            return;
        }
        // The presenter can only go on this very thread: no lock is needed while its box
        // runs an event loop of its own.
        lock.unlock();
        target->present(message);
    });
    drain_ = new QTimer(this);
    connect(drain_, &QTimer::timeout, this, [] { showPostedMessages(); });
    drain_->start(kDrainMs);
}

MessagePresenter::~MessagePresenter() {
    setMessageSink(std::move(previous_));
    std::lock_guard lock(link_->mutex);
    link_->target = nullptr;
}

void MessagePresenter::present(const QString& text) {
    pending_.append(text);
    if (showing_) {
        return; // the loop below shows it when the open box closes
    }
    showing_ = true;
    while (!pending_.isEmpty()) {
        show_(pending_.takeFirst());
    }
    showing_ = false;
}

} // namespace timbrelo
