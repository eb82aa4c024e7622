#include "ui/Dialogs.h"
#include "ui/UiThread.h"
#include "ui/qt/QtDialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <thread>

using namespace ui;

TEST(Dialogs, DefaultButtonResolvesAgainstTheButtonSet) {
    EXPECT_EQ(defaultAnswer({"t", "c", MsgIcon::None, MsgButtons::YesNo, MsgResult::No}),
              MsgResult::No);
    EXPECT_EQ(defaultAnswer({"t", "c", MsgIcon::None, MsgButtons::YesNo, MsgResult::None}),
              MsgResult::Yes);
    // A default that is not one of the buttons falls back to the first.
    EXPECT_EQ(defaultAnswer({"t", "c", MsgIcon::None, MsgButtons::OkCancel, MsgResult::Retry}),
              MsgResult::Ok);
}

TEST(Dialogs, ScriptedDialogsAnswerInTurnAndRecordEveryBox) {
    ScriptedDialogs scripted;
    ScopedDialogs use(scripted);
    scripted.queueAnswer(MsgResult::No);
    scripted.queueFile(std::string("/tmp/a.avi"));
    EXPECT_EQ(messageBox("Overwrite?", "Prompt", MsgIcon::Question, MsgButtons::YesNo),
              MsgResult::No);
    EXPECT_EQ(
        messageBox("Done", "Info", MsgIcon::Information, MsgButtons::OkCancel, MsgResult::Cancel),
        MsgResult::Cancel); // nothing queued: the default
    EXPECT_EQ(dialogs().saveFile({"Save", "AVI|*.avi", "avi", "", ""}), std::string("/tmp/a.avi"));
    EXPECT_EQ(dialogs().openFile({"Open", "", "", "", ""}), std::nullopt);
    const auto shown = scripted.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].request.text, "Overwrite?");
    EXPECT_EQ(shown[0].request.caption, "Prompt");
    EXPECT_EQ(shown[0].request.icon, MsgIcon::Question);
    EXPECT_EQ(shown[0].answer, MsgResult::No);
    EXPECT_EQ(scripted.fileDialogs().size(), 2u);
}

// Errors reported through the seam are recorded as the standard error box; a list choice
// is recorded and answered from the queue, a cancel when nothing is queued.
TEST(Dialogs, ScriptedDialogsRecordErrorsAndListChoices) {
    ScriptedDialogs scripted;
    ScopedDialogs use(scripted);
    reportError("Error Creating AVI file");
    scripted.queueChoice(2);
    const ListChoiceRequest request{"Capture", "Output format:", {"a", "b", "c"}, 1, "Pages"};
    EXPECT_EQ(dialogs().chooseFromList(request), 2);
    EXPECT_EQ(dialogs().chooseFromList(request), std::nullopt);
    const auto shown = scripted.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].request.text, "Error Creating AVI file");
    EXPECT_EQ(shown[0].request.icon, MsgIcon::Error);
    EXPECT_EQ(shown[0].request.buttons, MsgButtons::Ok);
    const auto choices = scripted.listChoices();
    ASSERT_EQ(choices.size(), 2u);
    EXPECT_EQ(choices[0].title, "Capture");
    EXPECT_EQ(choices[0].items, std::vector<std::string>({"a", "b", "c"}));
    EXPECT_EQ(choices[0].selected, 1);
}

// A multi-select open dialog answers its queued list, in order, and is recorded; nothing
// queued is a cancel (no files). The console one always cancels.
TEST(Dialogs, OpenFilesAnswersWholeListsInTurn) {
    ScriptedDialogs scripted;
    ScopedDialogs use(scripted);
    scripted.queueFiles({"/tmp/b.png", "/tmp/a.bmp", "/tmp/b.png"});
    EXPECT_EQ(dialogs().openFiles({"", "BMP|*.bmp", "", "", ""}),
              (std::vector<std::string>{"/tmp/b.png", "/tmp/a.bmp", "/tmp/b.png"}));
    EXPECT_TRUE(dialogs().openFiles({}).empty());
    ASSERT_EQ(scripted.fileDialogs().size(), 2u);
    EXPECT_EQ(scripted.fileDialogs()[0].filter, "BMP|*.bmp");
    EXPECT_TRUE(ConsoleDialogs().openFiles({}).empty());
}

TEST(Dialogs, ConsoleDialogsWriteToStandardErrorAndAnswerTheDefault) {
    ConsoleDialogs console;
    testing::internal::CaptureStderr();
    const MsgResult r = console.messageBox({"Error Creating AVI file", "Error", MsgIcon::Warning,
                                            MsgButtons::RetryCancel, MsgResult::Cancel});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, MsgResult::Cancel);
    EXPECT_EQ(err, "[Error, warning] Error Creating AVI file (answered Cancel)\n");

    testing::internal::CaptureStderr();
    console.reportError("cannot open \"x.avi\"");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: cannot open \"x.avi\"\n");
    // Nobody to ask: a list choice is cancelled.
    EXPECT_EQ(console.chooseFromList({"Capture", "", {"a"}, 0, ""}), std::nullopt);
}

TEST(Dialogs, QtFilterTakesTheDescriptions) {
    EXPECT_EQ(qtFilterOf("AVI files (*.avi)|*.avi|All files (*.*)|*.*"),
              "AVI files (*.avi);;All files (*.*)");
    EXPECT_EQ(qtFilterOf("Bitmap|*.bmp"), "Bitmap (*.bmp)");
    EXPECT_EQ(qtFilterOf("Pictures|*.bmp;*.jpg"), "Pictures (*.bmp *.jpg)");
}

TEST(Dialogs, TheChosenFiltersExtensionIsTheOneATypedNameGets) {
    EXPECT_EQ(extensionOfFilter("JPG (*.JPG)"), "JPG");
    EXPECT_EQ(extensionOfFilter("Pictures (*.bmp *.jpg)"), "bmp");
    EXPECT_EQ(extensionOfFilter("All files (*.*)"), "");
    EXPECT_EQ(extensionOfFilter("Anything (*)"), "");
    EXPECT_EQ(extensionOfFilter(""), "");
}

TEST(Dialogs, UiThreadQueueRunsPostedWorkOnTheDrainingThread) {
    EventQueue queue;
    std::thread::id ranOn;
    std::thread worker([&] { queue.post([&] { ranOn = std::this_thread::get_id(); }); });
    EXPECT_TRUE(
        queue.runUntil([&] { return ranOn != std::thread::id(); }, std::chrono::seconds(5)));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

// A box asked for from a worker is shown on the user-interface thread while the worker waits,
// and the worker gets the button the user pressed.
TEST(Dialogs, QtBoxFromAWorkerIsShownOnTheUserInterfaceThread) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "test_Dialogs";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QtDialogs qt;
    MsgResult answer = MsgResult::None;
    bool shownOnUiThread = false;
    QString caption, text;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible()) continue;
            shownOnUiThread = box->thread() == app.thread();
            caption = box->windowTitle();
            text = box->text();
            box->button(QMessageBox::No)->click();
        }
    });
    poll.start(20);
    std::thread worker([&] {
        answer = qt.messageBox(
            {"Record Complete!", "Info", MsgIcon::Information, MsgButtons::YesNo, MsgResult::Yes});
        QMetaObject::invokeMethod(
            &app, [] { QApplication::quit(); }, Qt::QueuedConnection);
    });
    QTimer::singleShot(10000, &app, [] { QApplication::quit(); });
    app.exec();
    worker.join();
    EXPECT_TRUE(shownOnUiThread);
    EXPECT_EQ(caption, "Info");
    EXPECT_EQ(text, "Record Complete!");
    EXPECT_EQ(answer, MsgResult::No);
}
