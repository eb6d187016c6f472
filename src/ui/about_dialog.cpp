#include "ui/about_dialog.h"

#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace timbrelo {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Timbrelo");
    auto* layout = new QGridLayout(this);
    auto* icon = new QLabel;
    const int side = fontMetrics().height() * 3;
    icon->setPixmap(QIcon(":/timbrelo.svg").pixmap(side, side));
    layout->addWidget(icon, 0, 0, 3, 1, Qt::AlignTop);
    layout->addWidget(new QLabel("Timbrelo    1.0 "), 0, 1);
    layout->addWidget(new QLabel("A real-time voice changer for Linux desktops."), 1, 1);
    layout->addWidget(new QLabel("Your voice, changed, on a virtual microphone."), 2, 1);
    auto* ok = new QPushButton("OK");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(ok, 0, 2, Qt::AlignTop);
}

} // namespace timbrelo
