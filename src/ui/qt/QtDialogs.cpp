#include "QtDialogs.h"

#include "ErrorBox.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

namespace ui {

namespace {

QMessageBox::StandardButton toQt(MsgResult r) {
    switch (r) {
    case MsgResult::Ok:
        return QMessageBox::Ok;
    case MsgResult::Cancel:
        return QMessageBox::Cancel;
    case MsgResult::Abort:
        return QMessageBox::Abort;
    case MsgResult::Retry:
        return QMessageBox::Retry;
    case MsgResult::Ignore:
        return QMessageBox::Ignore;
    case MsgResult::Yes:
        return QMessageBox::Yes;
    case MsgResult::No:
        return QMessageBox::No;
    case MsgResult::None:
        break;
    }
    return QMessageBox::NoButton;
}

QMessageBox::Icon toQt(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::Warning:
        return QMessageBox::Warning;
    case MsgIcon::Error:
        return QMessageBox::Critical;
    case MsgIcon::Question:
        return QMessageBox::Question;
    case MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

// A box as narrow as a short text leaves the window manager too little title bar for the
// caption, which it then shortens ("To… ix"). The box is made as wide as the caption in a
// bold title font plus room for the frame's icon and buttons.
void keepCaptionWhole(QMessageBox& box) {
    QFont title = box.font();
    title.setBold(true);
    const int room = QFontMetrics(title).horizontalAdvance(box.windowTitle()) + 160;
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) return;
    grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

MsgResult showOnThisThread(const MessageBoxRequest& request) {
    QMessageBox box(toQt(request.icon), QString::fromStdString(request.caption),
                    QString::fromStdString(request.text));
    const std::vector<MsgResult> set = buttonsOf(request.buttons);
    for (MsgResult r : set)
        box.addButton(toQt(r));
    box.setDefaultButton(toQt(defaultAnswer(request)));
    // Closing the box answers like the platform's: Cancel where there is one, else the
    // default.
    bool hasCancel = false;
    for (MsgResult r : set)
        hasCancel |= r == MsgResult::Cancel;
    box.setEscapeButton(toQt(hasCancel ? MsgResult::Cancel : defaultAnswer(request)));
    keepCaptionWhole(box);
    box.exec();
    const auto clicked = box.standardButton(box.clickedButton());
    for (MsgResult r : set)
        if (toQt(r) == clicked) return r;
    return hasCancel ? MsgResult::Cancel : defaultAnswer(request);
}

// A name typed without an extension gets the chosen filter's (a picture saved under "JPG"
// ends in .jpg), else the request's default one, in lower case.
std::optional<std::string> withDefaultExt(const QString& chosen, const FileDialogRequest& r,
                                          const QString& selectedFilter = {}) {
    if (chosen.isEmpty()) return std::nullopt;
    QString path = chosen;
    if (QFileInfo(path).suffix().isEmpty()) {
        std::string ext = extensionOfFilter(selectedFilter.toStdString());
        if (ext.empty()) ext = r.defaultExt;
        if (!ext.empty()) path += "." + QString::fromStdString(ext).toLower();
    }
    return path.toStdString();
}

QString startPath(const FileDialogRequest& r) {
    if (r.initialDir.empty()) return QString::fromStdString(r.fileName);
    if (r.fileName.empty()) return QString::fromStdString(r.initialDir);
    return QString::fromStdString(r.initialDir + "/" + r.fileName);
}

} // namespace

std::string extensionOfFilter(const std::string& qtFilterEntry) {
    const size_t star = qtFilterEntry.find("*.");
    if (star == std::string::npos) return {};
    const size_t end = qtFilterEntry.find_first_of(" )", star);
    const std::string ext =
        qtFilterEntry.substr(star + 2, end == std::string::npos ? end : end - star - 2);
    if (ext.empty() || ext.find_first_of("*?[") != std::string::npos) return {};
    return ext;
}

std::string qtFilterOf(const std::string& filter) {
    // Pairs of description|pattern; Qt wants the descriptions, which carry the patterns.
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t bar = filter.find('|', start);
        parts.push_back(filter.substr(start, bar == std::string::npos ? bar : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    std::string out;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string description = parts[i];
        const std::string& pattern = parts[i + 1];
        if (description.find('(') == std::string::npos) description += " (" + pattern + ")";
        // Qt separates patterns with blanks, the platform with semicolons.
        for (char& c : description)
            if (c == ';') c = ' ';
        if (!out.empty()) out += ";;";
        out += description;
    }
    if (parts.size() == 1) out = parts[0];
    return out;
}

MsgResult QtDialogs::messageBox(const MessageBoxRequest& request) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return ConsoleDialogs().messageBox(request);
    if (QThread::currentThread() == app->thread()) return showOnThisThread(request);
    MsgResult answer = defaultAnswer(request);
    QMetaObject::invokeMethod(
        app, [&] { answer = showOnThisThread(request); }, Qt::BlockingQueuedConnection);
    return answer;
}

std::optional<std::string> QtDialogs::openFile(const FileDialogRequest& r) {
    return withDefaultExt(
        QFileDialog::getOpenFileName(QApplication::activeWindow(), QString::fromStdString(r.title),
                                     startPath(r), QString::fromStdString(qtFilterOf(r.filter))),
        r);
}

std::vector<std::string> QtDialogs::openFiles(const FileDialogRequest& r) {
    std::vector<std::string> out;
    for (const QString& name : QFileDialog::getOpenFileNames(
             QApplication::activeWindow(), QString::fromStdString(r.title), startPath(r),
             QString::fromStdString(qtFilterOf(r.filter))))
        out.push_back(name.toStdString());
    return out;
}

namespace {

// A save dialog whose extension follows the chosen filter ("JPG" gives .jpg), in lower case,
// else the request's default one. It is the dialog's own default suffix, set as the dialog is
// accepted, so the dialog checks the final name: a name typed without an extension
// ("RecordScreen") is asked about when "RecordScreen.avi" exists, instead of being
// overwritten after the dialog has closed.
class SuffixedSaveDialog : public QFileDialog {
  public:
    SuffixedSaveDialog(const FileDialogRequest& r)
        : QFileDialog(QApplication::activeWindow(), QString::fromStdString(r.title), startPath(r),
                      QString::fromStdString(qtFilterOf(r.filter))),
          defaultExt_(r.defaultExt) {
        setAcceptMode(QFileDialog::AcceptSave);
        setFileMode(QFileDialog::AnyFile);
        followFilter();
    }
    void accept() override {
        followFilter();
        QFileDialog::accept();
    }

  private:
    void followFilter() {
        std::string ext = extensionOfFilter(selectedNameFilter().toStdString());
        if (ext.empty()) ext = defaultExt_;
        setDefaultSuffix(QString::fromStdString(ext).toLower());
    }
    std::string defaultExt_;
};

} // namespace

std::optional<std::string> QtDialogs::saveFile(const FileDialogRequest& r) {
    SuffixedSaveDialog dialog(r);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return withDefaultExt(files.first(), r, dialog.selectedNameFilter());
}

void QtDialogs::reportError(const std::string& text) {
    showErrorText(text);
}

std::optional<int> QtDialogs::chooseFromList(const ListChoiceRequest& r) {
    QDialog dialog(QApplication::activeWindow());
    dialog.setObjectName(QString::fromStdString(r.name));
    dialog.setWindowTitle(QString::fromStdString(r.title));
    dialog.setModal(true);
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(QString::fromStdString(r.label), &dialog);
    auto* list = new QListWidget(&dialog);
    list->setObjectName("Items");
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    label->setBuddy(list);
    for (const std::string& item : r.items)
        list->addItem(QString::fromStdString(item));
    if (r.selected >= 0 && r.selected < int(r.items.size())) list->setCurrentRow(r.selected);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setEnabled(!r.items.empty());
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, &QDialog::accept);
    layout->addWidget(label);
    layout->addWidget(list);
    layout->addWidget(buttons);
    dialog.resize(360, 240);

    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const int row = list->currentRow();
    if (row < 0 || row >= int(r.items.size())) return std::nullopt;
    return row;
}

void QtUiThread::post(std::function<void()> fn) {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

} // namespace ui
