// The snapshot window: shows the frame that is current in a playing graph, stretched over
// its picture box, and saves it as a BMP (or, for a .jpg name or the JPG filter, a JPEG) at
// the frame's own size. The video capture window's frame is taken when that window exists
// (the lookup tells), otherwise the opener's. Shown modally by its opener, which frees it.
// User-interface thread only.
#pragma once

#include <QDialog>
#include <QImage>
#include <functional>
#include <string>

class QToolButton;

namespace media {
class TSampleGrabber;
}

namespace player {

// Where a snapshot's frame comes from: the video window whose size the window follows, and
// the grabber that holds the frame.
struct TSnapshotSource {
    QWidget* videoWindow = nullptr;
    media::TSampleGrabber* grabber = nullptr;
};

// The video capture window's source while one is open (a source with no grabber otherwise).
// Set by the program start; none is set by default.
void setSnapshotSourceLookup(std::function<TSnapshotSource()> lookup);

// Writes picture to path: JPEG when jpeg is set, else a 24-bit BMP. The file is replaced
// only once the whole picture is written. False, with the reason, when it could not be.
bool savePicture(const QImage& picture, const std::string& path, bool jpeg, std::string* why);
// Whether a file name asks for a JPEG (".jpg" or ".jpeg", any letter case).
bool isJpegName(const std::string& path);

class TFrmSnapShot : public QDialog {
  public:
    // fallback: the opener's own source, used when no video capture window exists.
    explicit TFrmSnapShot(TSnapshotSource fallback, QWidget* parent = nullptr);

    // -- Components, named as the form names them.
    QWidget* Panel2;
    QWidget* Image; // shows the picture stretched to its size
    QWidget* Panel1;
    QToolButton* SpeedButton1; // "Save"
    QToolButton* SpeedButton2; // "Close"

    // The frame at its own size (null when the grabber had none).
    const QImage& picture() const { return picture_; }
    // The source the last show took its frame from.
    TSnapshotSource source() const { return source_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void FormShow();
    void SpeedButton1Click();

    TSnapshotSource fallback_;
    TSnapshotSource source_;
    QImage picture_;
};

} // namespace player
