// A label that acts as a web link: pure blue and the hand cursor while the mouse is over it,
// black and the default cursor after; a mouse press opens its address (ui::openUrl).
#pragma once

#include <QLabel>

namespace ui {

class TLinkLabel : public QLabel {
  public:
    TLinkLabel(const QString& caption, const QString& url, QWidget* parent = nullptr);
    const QString& url() const { return url_; }
    void setUrl(const QString& url) { url_ = url; }

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    void setColour(const QColor& c);
    QString url_;
};

} // namespace ui
