// What the merge, split and link windows share: a modal dialog of a given outer size centred
// on the desktop, the file-name rows of their group boxes (a label, a name box, a small flat
// browse button), the bottom strip of flat buttons, the progress bar's hooks for a job that
// waits in its loop, and the check of a box the user left empty. User-interface thread only.
#pragma once

#include "player/TimelineRender.h"

#include <QDialog>
#include <string>

class QGridLayout;
class QGroupBox;
class QLineEdit;
class QProgressBar;
class QToolButton;

namespace tools {

class TToolForm : public QDialog {
  public:
    QWidget* Panel2; // the client area
    QWidget* Panel1; // the bottom strip, 41 pixels high

    // Every way of closing (the title bar, Escape, the Close button) is refused while the
    // window's job runs (its loop runs on this window): the user is told why.
    void reject() override;

  protected:
    TToolForm(QWidget* owner, const char* objectName, const QString& caption, QSize outer);
    void closeEvent(QCloseEvent* event) override;

    // Whether the window's job lets it close now.
    virtual bool closable() const = 0;
    // Tells the user the job runs and the window stays.
    virtual void sayBusy() = 0;
    // Run when the window closes: its graphs are made inactive and cleared.
    virtual void clearGraphs() = 0;

    // A group box of Panel2 with a grid for its rows.
    QGroupBox* groupBox(const char* name, const QString& caption);
    // A row of a group box: the label, the name box (the forms' "宋体", 15 pixels) and the
    // browse button. Returns the name box; *browse gets the button.
    QLineEdit* fileRow(QGroupBox* box, const QString& label, const char* boxName,
                       const char* buttonName, QToolButton** browse);
    // A flat button of the bottom strip, in order from the left.
    QToolButton* stripButton(const char* name, const QString& caption);
    // The bar under the group boxes, range 0..1000, hidden.
    QProgressBar* progressBar(const char* name);
    // Puts the group boxes (and then what follows) in Panel2, top to bottom.
    void addToPanel(QWidget* w);

    // Hooks that show a job's progress in bar while the job's loop lets events through.
    player::TRenderHooks barHooks(QProgressBar* bar);
    // The user left box empty: it gets the focus and message is raised for the error box.
    static void requireName(QLineEdit* box, const char* message);
    static std::string text(const QLineEdit* box);

    // What the browse buttons run: the name chosen goes into box.
    void browseOpen(QLineEdit* box, const std::string& title, const std::string& filter,
                    const std::string& defaultExt = {});
    void browseSave(QLineEdit* box, const std::string& title, const std::string& filter,
                    const std::string& defaultExt, const std::string& fileName);
};

} // namespace tools
