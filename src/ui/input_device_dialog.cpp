#include "ui/input_device_dialog.h"

#include "audio/device_enumeration.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

namespace timbrelo {
namespace {

bool isVirtualDevice(const std::string& name) {
    return name.find(kVirtualDeviceNameTag) != std::string::npos;
}

} // namespace

InputDeviceDialog::InputDeviceDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Please select your input device");
    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel("Micphone:"), 0, 0, 1, 2);
    box_ = new QComboBox;
    box_->setEditable(true);
    box_->setInsertPolicy(QComboBox::NoInsert);
    box_->setMinimumContentsLength(28);
    layout->addWidget(box_, 1, 0, 1, 2);
    neverQueryBox_ = new QCheckBox("Never query me.");
    layout->addWidget(neverQueryBox_, 2, 0);
    auto* ok = new QPushButton("OK");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &InputDeviceDialog::accept);
    layout->addWidget(ok, 2, 1, Qt::AlignRight);
}

void InputDeviceDialog::setDevices(std::vector<std::string> names) {
    names_ = std::move(names);
    box_->clear();
    for (const std::string& name : names_) {
        if (!name.empty() && !isVirtualDevice(name)) {
            box_->addItem(QString::fromStdString(name));
        }
    }
    if (box_->count() > 0) {
        box_->setCurrentIndex(0);
    }
}

void InputDeviceDialog::setStartupMode(bool startup) {
    // Opened by the user, the choice takes effect at once: nothing to restart, nothing to
    // stop asking.
    neverQueryBox_->setVisible(startup);
}

std::string InputDeviceDialog::selectedName() const {
    return selected_ >= 0 ? names_[static_cast<size_t>(selected_)] : std::string();
}

void InputDeviceDialog::accept() {
    const std::string text = box_->currentText().toStdString();
    selected_ = -1;
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == text && !text.empty() && !isVirtualDevice(text)) {
            selected_ = static_cast<int>(i);
            break;
        }
    }
    neverQuery_ = neverQueryBox_->isChecked();
    QDialog::accept();
}

} // namespace timbrelo
