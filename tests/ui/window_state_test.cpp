// The window as a desktop user expects it: its place, columns, work mode and file-dialog folders kept
// from one start to the next; minimising apart from the tray; the timers that count from the start;
// the hover hint; the program picker; message boxes as wide as their titles.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <functional>
#include <set>

#include "app/ui/window_state.h"
#include "common/ui/prompter.h"
#include "tests/platform/env_var.h"
#include "tests/ui/sample_capture.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

// --- fitting a window onto the screens of today ---

TEST(WindowPlace, SavedFramesAreFittedOntoTodaysScreens) {
  const QRect left(0, 0, 1920, 1050);       // a task bar below
  const QRect right(1920, 0, 1280, 1024);
  struct Case {
    const char* what;
    QRect frame;
    QList<QRect> screens;
    QRect want;
  };
  const Case cases[] = {
      {"fits: kept", QRect(100, 80, 800, 600), {left}, QRect(100, 80, 800, 600)},
      {"fits on the second screen: kept", QRect(2000, 100, 800, 600), {left, right}, QRect(2000, 100, 800, 600)},
      {"its screen is gone: onto the first", QRect(2000, 100, 800, 600), {left}, QRect(1120, 100, 800, 600)},
      {"larger than the screen: cut to it", QRect(-50, -40, 2500, 1300), {left}, QRect(0, 0, 1920, 1050)},
      {"above and left of the screen: moved in", QRect(-300, -200, 800, 600), {left}, QRect(0, 0, 800, 600)},
      {"mostly on the second screen: into it", QRect(1800, 500, 800, 700), {left, right}, QRect(1920, 324, 800, 700)},
      {"below the task bar: lifted", QRect(100, 900, 800, 600), {left}, QRect(100, 450, 800, 600)},
      {"no screens known: kept", QRect(5000, 5000, 10, 10), {}, QRect(5000, 5000, 10, 10)},
  };
  for (const Case& c : cases) EXPECT_EQ(FitOnScreens(c.frame, c.screens), c.want) << c.what;
}

TEST(WindowPlace, TheFirstWindowIsCutToTheScreenAndCentred) {
  // QT_SCALE_FACTOR=2 on a 1024 x 768 screen leaves 512 x 384 for the window.
  EXPECT_EQ(CentredOnScreen(QSize(737, 600), QRect(0, 0, 512, 384)), QRect(0, 0, 512, 384));
  EXPECT_EQ(CentredOnScreen(QSize(737, 600), QRect(0, 0, 1280, 1024)), QRect(271, 212, 737, 600));
  EXPECT_EQ(CentredOnScreen(QSize(400, 300), QRect(1920, 30, 1280, 994)), QRect(2360, 377, 400, 300));
}

// Answers the dialogs of type D that open, as a person would, once they are up.
template <typename D>
class AnswerWhenShown {
 public:
  explicit AnswerWhenShown(std::function<void(D&)> answer) : answer_(std::move(answer)) {
    timer_.setInterval(50);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<D*>(w);
        // Answered again while it stays open: a dialog may still be loading its folder at first.
        if (dialog != nullptr && dialog->isVisible()) {
          answer_(*dialog);
          return;
        }
      }
    });
    timer_.start();
  }

 private:
  std::function<void(D&)> answer_;
  QTimer timer_;
};

// --- the state file ---

class WindowStateTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(stateHome_.isValid());
  }
  QString StatePath() const { return stateHome_.path() + "/quelvar/window.ini"; }
  TForm1Options Remembering() {
    TForm1Options o = TForm1Options::Offline(dir_.path());
    o.rememberState = true;
    return o;
  }
  std::unique_ptr<TForm1> Start() {
    auto form = std::make_unique<TForm1>(Net(), prompter_, Remembering());
    form->adapterRetryTimer_->stop();
    form->pcapMissingTimer_->stop();
    return form;
  }
  static void ShowAndWait(TForm1& form) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  }
  static QRect Available() { return QGuiApplication::primaryScreen()->availableGeometry(); }

  QTemporaryDir stateHome_;
  EnvVar xdg_{"XDG_STATE_HOME", stateHome_.path().toStdString()};
};

// Place, size and columns come back; the work mode does not: the window starts in URL mode.
TEST_F(WindowStateTest, PlaceAndColumnsComeBackAfterARestartTheWorkModeDoesNot) {
  QRect placed;
  {
    auto form = Start();
    // The first window lies inside the screen.
    EXPECT_TRUE(Available().contains(form->frameGeometry())) << form->frameGeometry().x() << "," << form->frameGeometry().y();
    ShowAndWait(*form);
    form->setGeometry(60, 50, 640, 420);
    form->mainListView_->setColumnWidth(0, 133);
    form->mainListView_->setColumnWidth(1, 97);
    form->lv2->setColumnWidth(0, 150);
    form->findChild<QAction*>(QStringLiteral("N34"))->trigger();
    QCoreApplication::processEvents();
    placed = form->geometry();
    form->close();
  }
  ASSERT_TRUE(QFile::exists(StatePath()));
  {
    QFile ini(IniPath());
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    EXPECT_FALSE(text.contains("frame") || text.contains("mode=")) << "nothing of it goes to setting.ini";
  }
  {
    auto form = Start();
    ShowAndWait(*form);
    EXPECT_EQ(form->geometry(), placed);
    EXPECT_EQ(form->mainListView_->columnWidth(0), 133);
    EXPECT_EQ(form->mainListView_->columnWidth(1), 97);
    EXPECT_EQ(form->lv2->columnWidth(0), 150);
    EXPECT_FALSE(form->findChild<QAction*>(QStringLiteral("N34"))->isChecked());
    EXPECT_TRUE(form->findChild<QAction*>(QStringLiteral("URL2"))->isChecked());
    EXPECT_EQ(form->Handler().workMode.load(), WorkMode::Url);
    EXPECT_EQ(form->findChild<QLabel*>(QStringLiteral("bsSkinStatusPanel6"))->text(), "当前工作模式[获取URL]");
    // Closed maximised: it opens maximised, and un-maximising gives the place it had before.
    form->showMaximized();
    ASSERT_TRUE(WaitFor([&] { return form->isMaximized(); }, 5000));
    form->close();
  }
  {
    auto form = Start();
    ShowAndWait(*form);
    EXPECT_TRUE(form->isMaximized());
    EXPECT_EQ(form->normalGeometry(), placed);
  }
}

TEST_F(WindowStateTest, ADamagedStateFileGivesTheFirstStartsWindow) {
  const QByteArray damaged[] = {
      QByteArray("\x00\xff\xfe[[[=\n\x01garbage\x7f=\n", 20),
      "[window]\nframe=@Rect(0 0 -5 99999999)\nclient=@Size(abc)\nmaximized=perhaps\nmode=ftp\n"
      "[columns]\nLV1=99999999,x,-3,\nlv2=,,,\n",
      "[window]\nframe=hello\nclient=@Size(300 200)\nmode=\n",
  };
  for (const QByteArray& bytes : damaged) {
    QDir().mkpath(stateHome_.path() + "/quelvar");
    QFile f(StatePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    f.close();
    auto form = Start();
    ShowAndWait(*form);
    EXPECT_TRUE(Available().contains(form->frameGeometry()));
    EXPECT_GT(form->width(), 300);
    EXPECT_EQ(form->Handler().workMode.load(), WorkMode::Url);
    EXPECT_EQ(form->mainListView_->columnWidth(0), 80);
    EXPECT_EQ(form->mainListView_->columnWidth(1), 88);
    form->close();
    // The good state replaces the damaged one on the disk.
    QFile written(StatePath());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray text = written.readAll();
    EXPECT_FALSE(text.contains("mode=")) << text.toStdString();
    EXPECT_TRUE(text.contains("frame=@Rect(")) << text.toStdString();
  }
}

// A state file that an earlier version wrote with the packet-list mode in it: URL mode all the same,
// and the mode leaves the file at the next save.
TEST_F(WindowStateTest, AnOldStateFilesWorkModeIsNotRestored) {
  QDir().mkpath(stateHome_.path() + "/quelvar");
  QFile f(StatePath());
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write("[window]\nmode=packets\n");
  f.close();
  auto form = Start();
  ShowAndWait(*form);
  EXPECT_EQ(form->Handler().workMode.load(), WorkMode::Url);
  EXPECT_EQ(form->findChild<QLabel*>(QStringLiteral("bsSkinStatusPanel6"))->text(), "当前工作模式[获取URL]");
  form->close();
  QFile written(StatePath());
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_FALSE(written.readAll().contains("mode=")) << "the old key is dropped";
}

// The file dialogs open where they were last used; the folder is kept for the next start.
TEST_F(WindowStateTest, FileDialogsOpenInTheirLastFolder) {
  QDir home(stateHome_.path());
  ASSERT_TRUE(home.mkpath("captures") && home.mkpath("elsewhere"));
  const QString captures = home.filePath("captures");
  const QString chosen = home.filePath("elsewhere/day.pcap");
  QFile(chosen).open(QIODevice::WriteOnly);

  QtPrompter prompter;
  WindowState state(StatePath());
  state.SetLastFolder(QStringLiteral("打开抓包文件"), captures);
  prompter.RememberFoldersIn(&state);
  QString openedIn;
  AnswerWhenShown<QFileDialog> answer([&](QFileDialog& dialog) {
    if (openedIn.isEmpty()) openedIn = dialog.directory().absolutePath();
    // Typed into the name field, as a person would (selectFile leaves a focused field alone).
    auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(chosen);
    QMetaObject::invokeMethod(&dialog, "accept", Qt::QueuedConnection);
  });
  EXPECT_EQ(prompter.OpenFileName(nullptr, QStringLiteral("打开抓包文件"), QStringLiteral("抓包文件(*.pcap)")), chosen);
  EXPECT_EQ(openedIn, captures);
  EXPECT_EQ(WindowState(StatePath()).LastFolder(QStringLiteral("打开抓包文件")), home.filePath("elsewhere"));
  // Each dialog has its own folder; a folder that is gone is not offered.
  EXPECT_EQ(WindowState(StatePath()).LastFolder(QStringLiteral("Save file")), "");
  ASSERT_TRUE(QFile::remove(chosen) && home.rmdir("elsewhere"));
  EXPECT_EQ(WindowState(StatePath()).LastFolder(QStringLiteral("打开抓包文件")), "");
}

// --- minimising ---

TEST_F(WindowStateTest, MinimisingKeepsTheWindowAndOnlyTheTrayCommandHidesIt) {
  for (const bool tray : {true, false}) {
    TForm1Options o = TForm1Options::Offline(dir_.path());
    o.trayAvailable = [tray] { return tray; };
    TForm1 form(Net(), prompter_, o);
    form.adapterRetryTimer_->stop();
    form.pcapMissingTimer_->stop();
    ShowAndWait(form);
    form.showMinimized();
    EXPECT_TRUE(WaitFor([&] { return form.isMinimized(); }, 2000));
    EXPECT_TRUE(form.isVisible()) << "an ordinary minimise keeps the window (and its task-bar entry)";
    EXPECT_FALSE(form.Tray()->isVisible());
    form.showNormal();
    ASSERT_TRUE(WaitFor([&] { return !form.isMinimized() && form.isVisible(); }, 2000));

    QAction* toTray = form.findChild<QAction*>(QStringLiteral("actToTray"));
    ASSERT_NE(toTray, nullptr);
    EXPECT_EQ(toTray->text(), "最小化到托盘");
    toTray->trigger();
    if (tray) {
      EXPECT_TRUE(WaitFor([&] { return !form.isVisible(); }, 2000));
      EXPECT_TRUE(form.Tray()->isVisible());
      emit form.Tray()->activated(QSystemTrayIcon::Trigger);
      EXPECT_TRUE(WaitFor([&] { return form.isVisible() && !form.isMinimized(); }, 2000));
      EXPECT_TRUE(form.isVisible());
      EXPECT_FALSE(form.isMinimized());
      EXPECT_FALSE(form.Tray()->isVisible());
    } else {
      // No tray to come back from: the window minimises as usual instead of being lost.
      EXPECT_TRUE(WaitFor([&] { return form.isMinimized(); }, 2000));
      EXPECT_TRUE(form.isVisible());
      EXPECT_TRUE(form.isMinimized());
      EXPECT_FALSE(form.Tray()->isVisible());
    }
  }
}

// --- the timers that count from the start ---

// A start-up message answered late: tmr1 and tmr3 count from the start all the same; the update
// check does not run while a box is open, and runs once the box is answered.
TEST_F(WindowStateTest, LocalAddressesAndUpdateCheckCountFromTheStart) {
  WriteSettings(true);
  prompter_.whileOpen = [&](const ScriptedPrompter::Box&) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2500) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  };
  TForm1Options o = TForm1Options::Offline(dir_.path());
  o.updateCheckMs = 1500;
  o.updateBase = "http://127.0.0.1:9/";  // nothing answers: the timed check stays silent
  TForm1 form(Net(), prompter_, o);
  prompter_.whileOpen = nullptr;
  form.pcapMissingTimer_->stop();
  form.adapterRetryTimer_->stop();
  ASSERT_EQ(prompter_.boxes.size(), 1u) << "a start-up message (first run or no capture library)";
  EXPECT_FALSE(form.localAddressTimer_->isActive()) << "tmr1 fired 1 s after the start, under the open message";
  EXPECT_TRUE(form.updateCheckTimer_->isActive()) << "the check waits for the end of start-up";
  ASSERT_TRUE(WaitFor([&] { return !form.updateCheckTimer_->isActive(); }, 1200))
      << "the check runs right after the answer";
  EXPECT_EQ(prompter_.boxes.size(), 1u);

  // Later, a box open when the check is due holds it back until the box is closed.
  QDialog box(&form);
  box.setModal(true);
  box.show();
  ASSERT_NE(QApplication::activeModalWidget(), nullptr);
  form.updateCheckTimer_->start(50);
  QTest::qWait(400);
  EXPECT_TRUE(form.updateCheckTimer_->isActive());
  box.close();
  EXPECT_TRUE(WaitFor([&] { return !form.updateCheckTimer_->isActive(); }, 1500));
}

// --- the hover hint ---

TEST_F(WindowStateTest, TheHoverHintGoesWithThePointerAndWithTheFocus) {
  const std::string capture = (dir_.path() + "/sample.pcap").toStdString();
  WriteSampleCapture(capture);
  Load(capture);
  TForm1& form = Form();
  ShowAndWait(form);
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QTableView* lv1 = form.mainListView_;
  const QPoint cell = lv1->visualRect(lv1->model()->index(0, 2)).center();
  auto hintShown = [] { return QToolTip::isVisible() && QToolTip::text().startsWith("IP:  "); };

  QTest::mouseClick(lv1->viewport(), Qt::LeftButton, {}, cell);
  ASSERT_TRUE(WaitFor(hintShown, 3000));
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(lv1->viewport(), &leave);
  EXPECT_TRUE(WaitFor([&] { return !hintShown(); }, 1000)) << "the pointer left the list";

  QTest::mouseClick(lv1->viewport(), Qt::LeftButton, {}, cell);
  ASSERT_TRUE(WaitFor(hintShown, 3000));
  QDialog other;
  other.show();
  other.activateWindow();
  EXPECT_TRUE(WaitFor([&] { return !hintShown(); }, 1000)) << "another window took the focus";
  other.close();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

  // Left before the hint was due: it does not come at all.
  QTest::mouseClick(lv1->viewport(), Qt::LeftButton, {}, cell);
  QCoreApplication::sendEvent(lv1->viewport(), &leave);
  QTest::qWait(form.style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay) + 300);
  EXPECT_FALSE(hintShown());
}

// --- the program picker of the download page ---

std::set<QString> Listed(QFileDialog& dialog) {
  std::set<QString> names;
  auto* list = dialog.findChild<QListView*>(QStringLiteral("listView"));
  if (list == nullptr) return names;
  const QModelIndex root = list->rootIndex();
  for (int r = 0; r < list->model()->rowCount(root); ++r)
    names.insert(list->model()->index(r, 0, root).data().toString());
  return names;
}

TEST(ProgramPicker, ShowsTheFilesThisUserMayRunFirstAndEveryFileOnRequest) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  auto make = [&](const char* name, QFile::Permissions perms) {
    QFile f(dir.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.close();
    ASSERT_TRUE(f.setPermissions(perms));
  };
  make("wget", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  make("notes.txt", QFile::ReadOwner | QFile::WriteOwner);
  make("setup.exe", QFile::ReadOwner | QFile::WriteOwner);  // a Windows program does not run here
  ASSERT_TRUE(QDir(dir.path()).mkdir("tools"));

  std::unique_ptr<QFileDialog> dialog(NewProgramDialog(nullptr, QStringLiteral("Open file"), dir.path()));
  EXPECT_EQ(dialog->nameFilters().size(), 2);
  dialog->show();
  const std::set<QString> programs{"tools", "wget"};
  EXPECT_TRUE(WaitFor([&] { return Listed(*dialog) == programs; }, 5000));
  EXPECT_EQ(Listed(*dialog), programs);
  dialog->selectNameFilter(dialog->nameFilters().at(1));
  emit dialog->filterSelected(dialog->nameFilters().at(1));  // what choosing it in the box does
  const std::set<QString> all{"notes.txt", "setup.exe", "tools", "wget"};
  EXPECT_TRUE(WaitFor([&] { return Listed(*dialog) == all; }, 5000));
  EXPECT_EQ(Listed(*dialog), all);

  dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(dir.filePath("wget"));
  QMetaObject::invokeMethod(dialog.get(), "accept");
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  ASSERT_EQ(dialog->selectedFiles().size(), 1);
  EXPECT_EQ(dialog->selectedFiles().first(), dir.filePath("wget"));
}

// --- message boxes ---

TEST(MessageBoxes, AreAsWideAsTheirTitleNeeds) {
  QtPrompter prompter;
  int width = 0;
  int needed = 0;
  AnswerWhenShown<QMessageBox> answer([&](QMessageBox& box) {
    width = box.width();
    needed = BoxWidthForTitle(box, box.windowTitle());
    box.accept();
  });
  prompter.Message(nullptr, BoxKind::Information, QStringLiteral("保存完毕"), BoxButtons::Ok);
  // A plain box with the same short text is narrower than its title needs: that is what cut it.
  QMessageBox plain(QMessageBox::Information, QStringLiteral("Quelvar"), QStringLiteral("保存完毕"), QMessageBox::Ok);
  plain.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&plain));
  EXPECT_LT(plain.width(), needed);
  EXPECT_GE(width, needed);
}

}  // namespace
}  // namespace qv::testing
