#include "UntAbout.h"

#include "Images.h"
#include "ui/qt/LinkLabel.h"
#include "untMain.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace app {

TFrmAbout::TFrmAbout(QWidget* parent) : QDialog(parent) {
    setObjectName("FrmAbout");
    setWindowTitle("About");
    setFixedWidth(580);
    auto* picture = new QLabel(this);
    picture->setPixmap(recordScreenImage().pixmap(48, 48));
    LabelVersion = new QLabel("Tovamix Version 2.0.0.4", this);
    LabelVersion->setObjectName("LabelVersion");
    QFont big = LabelVersion->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    LabelVersion->setFont(big);
    LinkProduct = new ui::TLinkLabel(ProductUrl, ProductUrl, this);
    LinkProduct->setObjectName("LinkProduct");
    ButtonClose = new QPushButton("Close", this);
    ButtonClose->setObjectName("ButtonClose");
    ButtonClose->setDefault(true);
    connect(ButtonClose, &QPushButton::clicked, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->addWidget(LabelVersion);
    text->addWidget(LinkProduct);
    auto* top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(text, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ButtonClose);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(12);
    layout->addLayout(buttons);
}

} // namespace app
