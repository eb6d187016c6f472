#pragma once
// Lets the user pick the real microphone by its product name. The virtual device's capture
// side is never listed and can't be picked, not even by typing its name.
//
// Threads: the interface thread.

#include <QDialog>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;

namespace timbrelo {

class InputDeviceDialog : public QDialog {
    Q_OBJECT

  public:
    explicit InputDeviceDialog(QWidget* parent = nullptr);

    // The input devices' product names in index order; without them the list stays empty.
    void setDevices(std::vector<std::string> names);
    // As a start-up question the dialog offers "Never query me."; opened by the user it
    // does not.
    void setStartupMode(bool startup);

    // After OK: the index of the device whose name equals the text exactly (the first of
    // equal names); -1 for none, and after Cancel.
    int selectedIndex() const { return selected_; }
    std::string selectedName() const;
    bool neverQuery() const { return neverQuery_; }

    QComboBox* deviceBox() const { return box_; }
    QCheckBox* neverQueryBox() const { return neverQueryBox_; }

  public slots:
    void accept() override;

  private:
    std::vector<std::string> names_;
    QComboBox* box_ = nullptr;
    QCheckBox* neverQueryBox_ = nullptr;
    int selected_ = -1;
    bool neverQuery_ = false;
};

} // namespace timbrelo
