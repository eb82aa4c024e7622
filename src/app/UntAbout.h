// The about window: product name and version, a link to the product's page, and "Close".
// Modal, created and freed around each use by the main window's ActAbout.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace ui {
class TLinkLabel;
}

namespace app {

class TFrmAbout : public QDialog {
  public:
    explicit TFrmAbout(QWidget* parent = nullptr);

    QLabel* LabelVersion;
    ui::TLinkLabel* LinkProduct;
    QPushButton* ButtonClose;
};

} // namespace app
