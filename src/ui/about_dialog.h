#pragma once
// The About box: the icon, the name and version, an OK button.

#include <QDialog>

namespace timbrelo {

class AboutDialog : public QDialog {
    Q_OBJECT

  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

} // namespace timbrelo
