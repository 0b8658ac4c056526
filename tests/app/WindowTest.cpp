// The main window: controls, geometry, initial state and the binding of the
// view hooks to the widgets.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QAbstractItemView>
#include <QFrame>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include "app/StopDecision.h"
#include "app/TFlashForm.h"
#include "drive/CDDrive.h"
#include "package/Package.h"
#include "platform/qt/FileListBox.h"
#include "platform/StopGuard.h"
#include "platform/qt/QtServices.h"
#include "platform/sim/SimTransport.h"
#include "tests/package/WorkDir.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/Replay.h"
#include "tests/support/TestDoubles.h"

namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "tests_app";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// The smallest rectangle holding every pixel in which two renderings differ.
QRect Difference(const QImage& before, const QImage& after) {
  QRect changed;
  for (int y = 0; y < std::min(before.height(), after.height()); ++y) {
    for (int x = 0; x < std::min(before.width(), after.width()); ++x) {
      if (before.pixel(x, y) != after.pixel(x, y)) changed |= QRect(x, y, 1, 1);
    }
  }
  return changed;
}

QRect InForm(const QWidget* widget, const QWidget* form) {
  return QRect(widget->mapTo(form, QPoint(0, 0)), widget->size());
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { App(); }
  // Every flash of the window left a transcript, which replays to the same end.
  void TearDown() override {
    CDDrive::SetTransport(nullptr);
    EXPECT_TRUE(testing_support::AllReplay(flash, services.transcripts.Texts()));
    CDDrive::SetTransport(nullptr);
  }
  // A drive on `transport` that the crafted flash package fits; the drive
  // layer then talks to that transport.
  platform::sim::SimDrive& AddFittingDrive(platform::sim::SimTransport& transport, unsigned flashStartMs = 0) {
    platform::sim::DriveConfig config;
    config.revisionAfterFlash = "Q150";
    config.flashStartMilliseconds = flashStartMs;
    platform::sim::SimDrive& drive = transport.AddDrive(config);
    CDDrive::SetTransport(&transport);
    return drive;
  }
  // Creates a window over `flash` in flash mode, the warning answered Yes.
  void CreateFlashWindow(TFlashForm& form) {
    services.boxes.AnswerYes();
    form.FormCreate();
  }

  testing_support::ServicesScope services;
  std::vector<uint8_t> package = package::MakeBuilderPackage("");
  const std::vector<uint8_t> flash = testing_support::CraftPackage();
};

TEST_F(WindowTest, ControlsHaveTheirNamesKindsGeometryAndInitialState) {
  TFlashForm form(package.data());
  EXPECT_EQ(form.objectName(), "FlashForm");
  EXPECT_EQ(form.pos(), QPoint(192, 128));
  EXPECT_EQ(form.font().pixelSize(), 16);
  EXPECT_TRUE(form.font().bold());
  EXPECT_TRUE(form.windowTitle().isEmpty());
  // The program's icon, at least at the sizes of title bars and task bars.
  for (int size : {16, 32, 48}) {
    const QImage icon = form.windowIcon().pixmap(size, size).toImage();
    ASSERT_EQ(icon.size(), QSize(size, size)) << size;
    EXPECT_GT(qAlpha(icon.pixel(size / 2, size / 2)), 0) << size;
  }

  struct Expected {
    const char* name;
    QWidget* parent;
    QRect geometry;
  };
  const std::vector<Expected> expected = {
      {"Panel1", &form, QRect(0, 0, 425, 201)},
      {"SelectDriveLabel", form.Panel1, QRect(16, 16, 369, 25)},
      {"ComboBox", form.Panel1, QRect(16, 40, 385, 24)},
      {"FileListBox1", form.Panel1, QRect(16, 72, 385, 41)},
      {"GroupBox2", form.Panel1, QRect(16, 128, 385, 49)},
      {"ProgressBar", form.GroupBox2, QRect(8, 16, 305, 25)},
      {"FlashButton", form.GroupBox2, QRect(320, 16, 57, 25)},
  };
  for (const Expected& e : expected) {
    QWidget* widget = form.findChild<QWidget*>(QString::fromLatin1(e.name));
    ASSERT_NE(widget, nullptr) << e.name;
    EXPECT_EQ(widget->parentWidget(), e.parent) << e.name;
    EXPECT_EQ(widget->geometry(), e.geometry) << e.name;
  }

  EXPECT_TRUE(form.SelectDriveLabel->text().isEmpty());
  EXPECT_EQ(form.ComboBox->count(), 0);
  EXPECT_TRUE(form.ComboBox->isEditable());
  EXPECT_TRUE(form.ComboBox->currentText().isEmpty());
  EXPECT_FALSE(form.FileListBox1->isHidden());
  EXPECT_TRUE(form.GroupBox2->title().isEmpty());
  EXPECT_EQ(form.ProgressBar->minimum(), 0);
  EXPECT_EQ(form.ProgressBar->maximum(), 100);
  EXPECT_EQ(form.ProgressBar->value(), 0);
  EXPECT_EQ(form.FlashButton->text(), "FLASH");
  EXPECT_TRUE(form.FlashButton->isEnabled());

  // Tab order: the box, the file list, then the button of the group box.
  std::vector<QWidget*> order;
  QWidget* widget = form.ComboBox;
  for (int i = 0; i < 64 && order.size() < 3; ++i, widget = widget->nextInFocusChain()) {
    if ((widget == form.ComboBox || widget == form.FileListBox1 || widget == form.FlashButton) &&
        (order.empty() || order.back() != widget)) {
      order.push_back(widget);
    }
  }
  EXPECT_EQ(order, (std::vector<QWidget*>{form.ComboBox, form.FileListBox1, form.FlashButton}));
}

TEST_F(WindowTest, FieldsStartEmpty) {
  TFlashForm form(package.data());
  EXPECT_EQ(form.ModelList, nullptr);
  EXPECT_EQ(form.Drives, nullptr);
  EXPECT_EQ(form.TransferBuffer, nullptr);
  EXPECT_EQ(form.WorkBuffer, nullptr);
  EXPECT_EQ(form.BlockBuffer, nullptr);
  EXPECT_EQ(form.CurrentDrive, nullptr);
  EXPECT_FALSE(form.BuildMode);
  EXPECT_EQ(form.BinLength, 0u);
  for (int32_t entry : form.DriveIndex) EXPECT_EQ(entry, 0);
}

TEST_F(WindowTest, ViewHooksReachTheWidgets) {
  TFlashForm form(package.data());
  form.SetCaption("VoxTEL-DS Flash Utility V1.049 QRD-73318K");
  EXPECT_EQ(form.windowTitle(), "VoxTEL-DS Flash Utility V1.049 QRD-73318K");
  form.SetStatus("Write BIN to drive's DRAM... ");
  EXPECT_EQ(form.GroupBox2->title(), "Write BIN to drive's DRAM... ");
  EXPECT_EQ(form.GetStatus(), "Write BIN to drive's DRAM... ");

  form.ComboAdd("a");
  form.ComboAdd("b");
  form.ComboSetItemIndex(1);
  EXPECT_EQ(form.ComboItemIndex(), 1);
  form.ComboInsert(1, "c");
  form.ComboDelete(2);
  EXPECT_EQ(form.ComboBox->itemText(1), "c");
  EXPECT_EQ(form.ComboCount(), 2);

  // A position past the maximum stays at the maximum, like a progress bar.
  form.ProgressSetRange(0, 200);
  form.ProgressSetPosition(198);
  EXPECT_EQ(form.ProgressBar->value(), 198);
  form.ProgressSetPosition(500);
  EXPECT_EQ(form.ProgressBar->value(), 200);
  EXPECT_EQ(form.ProgressBar->maximum(), 200);

  form.SetFlashButtonCaption("Build");
  form.SetFlashButtonEnabled(false);
  EXPECT_EQ(form.FlashButton->text(), "Build");
  EXPECT_FALSE(form.FlashButton->isEnabled());

  // File names and folders pass as the file system's bytes, also where they
  // are not UTF-8: a listed file is found under its own name.
  package_tests::TempDir dir;
  const std::string folder = dir / "b\xffilder";
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const std::string name = "Q\xff" "50.BIN";
  package_tests::WriteText(folder + "/" + name, "image");
  package_tests::WriteText(folder + "/Q150.TXT", "text");
  form.FileListSetDirectory(folder);
  form.FileListSetMask("*.BIN");
  ASSERT_EQ(form.FileListBox1->count(), 1);
  form.FileListBox1->setCurrentRow(0);
  EXPECT_EQ(form.FileListSelectedName(), name);
  EXPECT_EQ(form.FileListSelectedPath(), folder + "/" + name);
  EXPECT_EQ(package_tests::ReadFile(form.FileListSelectedPath()), std::vector<uint8_t>({'i', 'm', 'a', 'g', 'e'}));
  const std::string saved = form.CurrentDirectory();
  ASSERT_EQ(::chdir(folder.c_str()), 0);
  EXPECT_EQ(form.CurrentDirectory(), folder);
  ASSERT_EQ(::chdir(saved.c_str()), 0);
}

// The status line (the caption of GroupBox2) in its 16-pixel bold font, for
// the longest texts of the flash sequence and of the builder: every glyph,
// descenders included, lies inside the group box and above the progress bar,
// and no text runs past the button's right edge.
TEST_F(WindowTest, StatusLineIsDrawnWholeAboveTheProgressBar) {
  TFlashForm form(package.data());
  form.show();
  form.SetStatus("");
  const QImage empty = form.grab().toImage();
  const QRect group = InForm(form.GroupBox2, &form);
  const QRect bar = InForm(form.ProgressBar, &form);
  const QRect button = InForm(form.FlashButton, &form);
  const QFontMetrics metrics(form.GroupBox2->font());
  EXPECT_EQ(form.GroupBox2->font().pixelSize(), 16);
  EXPECT_TRUE(form.GroupBox2->font().bold());

  const std::string longName(80, 'Q');
  for (const std::string& text :
       {std::string("Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! "),
        std::string("Read back and Verify drive's DRAM... , Valid Profile Fail!"),
        std::string("Don't turn off the system, Flash is in progress..."),
        std::string("Write profile to drive's DRAM... , Fail! "), std::string("Flash Completed."),
        std::string("Building Q150.BIN  Please wait... "), std::string("Build Q150.EXE complete!"),
        "Building " + longName + ".BIN  Please wait... "}) {
    SCOPED_TRACE(text);
    form.SetStatus(text);
    const QRect drawn = Difference(empty, form.grab().toImage());
    ASSERT_TRUE(drawn.isValid());
    EXPECT_GE(drawn.top(), group.top());
    EXPECT_LT(drawn.bottom(), bar.top());
    EXPECT_GE(drawn.left(), group.left());
    EXPECT_LE(drawn.right(), button.right());
    // As tall as the text's own glyphs: nothing cut off at the top or bottom.
    EXPECT_GE(drawn.height(), metrics.tightBoundingRect(QString::fromStdString(text)).height());
  }
}

// Both lists have rows of 16 pixels, each row's text whole within it; the
// file list's 41 pixels show more than two rows.
TEST_F(WindowTest, ListRowsAreSixteenPixelsHigh) {
  TFlashForm form(package.data());
  form.show();
  for (const char* name : {"Q150.BIN", "Q151.BIN", "Q152.BIN", "Q153.BIN"}) {
    form.FileListBox1->addItem(QString::fromLatin1(name));
  }
  QListWidget& list = *form.FileListBox1;
  for (int row = 0; row < list.count(); ++row) {
    EXPECT_EQ(list.visualItemRect(list.item(row)).height(), 16) << row;
    EXPECT_EQ(list.visualItemRect(list.item(row)).top(), 16 * row) << row;
  }
  EXPECT_LT(list.visualItemRect(list.item(2)).top(), list.viewport()->height());

  // The first row's text, from its ascenders to the tail of its Q, within the
  // row: the second row does not paint over it.
  const QImage withText = list.viewport()->grab().toImage();
  list.item(0)->setText(QString());
  const QRect drawn = Difference(list.viewport()->grab().toImage(), withText);
  ASSERT_TRUE(drawn.isValid());
  EXPECT_GE(drawn.top(), 0);
  EXPECT_LT(drawn.bottom(), 16);
  EXPECT_GE(drawn.height(), QFontMetrics(list.font()).tightBoundingRect(QStringLiteral("Q150.BIN")).height());

  form.ComboAdd("Q100-Q149 VOX-TEL QRD-73318K");
  form.ComboAdd("K100-K299 VOX-TEL DVD-ROM MVK-417");
  EXPECT_EQ(form.ComboBox->view()->sizeHintForRow(0), 16);
  EXPECT_EQ(form.ComboBox->view()->sizeHintForRow(1), 16);
}

TEST_F(WindowTest, TypingIntoTheBoxLeavesNoEntrySelected) {
  TFlashForm form(package.data());
  form.ComboAdd("first");
  form.ComboSetItemIndex(0);
  form.show();
  QTest::keyClicks(form.ComboBox->lineEdit(), "x");
  EXPECT_EQ(form.ComboItemIndex(), -1);
  form.ComboSetItemIndex(0);
  EXPECT_EQ(form.ComboItemIndex(), 0);
}

TEST_F(WindowTest, ExceptionFromAnEventIsShownAndTheLoopGoesOn) {
  testing_support::ThrowingTransport transport;
  platform::sim::SimDrive& drive = AddFittingDrive(transport);
  TFlashForm form(flash.data());
  CreateFlashWindow(form);
  ASSERT_EQ(form.ComboCount(), 1);
  services.boxes.shown.clear();

  transport.throwAt = 20;  // among the image's blocks, with the drive and the inhibitor held
  services.boxes.AnswerYes();
  form.FlashButton->click();
  ASSERT_EQ(services.boxes.shown.size(), 2u);
  EXPECT_EQ(services.boxes.shown[1].kind, platform::BoxKind::Error);
  EXPECT_EQ(services.boxes.shown[1].caption, platform::ApplicationTitle);
  EXPECT_EQ(services.boxes.shown[1].text, "out of memory");
  EXPECT_EQ(services.boxes.shown[1].buttons, platform::BoxButtons::Ok);
  EXPECT_FALSE(drive.HeldExclusively());
  EXPECT_FALSE(services.inhibitor.held);
  EXPECT_FALSE(services.cursor.hourglass);

  // The loop goes on: posted events still run, and the next click flashes.
  bool ran = false;
  QTimer::singleShot(0, &form, [&ran] { ran = true; });
  QCoreApplication::processEvents();
  EXPECT_TRUE(ran);
  services.boxes.AnswerYes();
  form.FlashButton->click();
  EXPECT_EQ(form.GetStatus(), "Flash Completed.");
  EXPECT_EQ(drive.FlashStartCount(), 1u);
}

// Simulated drives that do something to the window during one command: the
// `at`th command for which `when` holds (counted from 1). With the flash
// beside the window's thread, the action is still done on the window's
// thread, as the desktop would do it.
class ActingTransport final : public platform::sim::SimTransport {
 public:
  std::function<bool(const platform::Cdb&)> when = [](const platform::Cdb&) { return true; };
  size_t at = 0;  // 0: never
  std::function<void()> action;
  unsigned flashStartsBefore = 0;  // the drive's flash starts when the action was done
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    if (at != 0 && when(cdb) && --at == 0) {
      flashStartsBefore = Drive(0).FlashStartCount();
      if (QThread::currentThread() == qApp->thread()) {
        action();
      } else {
        QMetaObject::invokeMethod(qApp, action, Qt::BlockingQueuedConnection);
      }
    }
    return SimTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }
};

bool IsFlashStart(const platform::Cdb& cdb) { return cdb[0] == 0x3B && (cdb[9] == 0x80 || cdb[9] == 0xA0); }

// Lets the window's thread go on for `milliseconds`.
void RunEventsFor(int milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < milliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

size_t CountText(const std::vector<std::string>& texts, const std::string& part) {
  return static_cast<size_t>(std::count_if(texts.begin(), texts.end(),
                                           [&](const std::string& text) { return text.find(part) != std::string::npos; }));
}

// The window's close while a flash runs (here from inside a drive command):
// before the flash writes to the drive it stops it with nothing written;
// once the drive is being written it is held off, the flash goes on to its
// end, and the window closes afterwards instead of offering the restart.
// Outside a flash the window closes at once.
TEST_F(WindowTest, CloseStopsAFlashBeforeItWritesAndWaitsForItsEndAfter) {
  const struct {
    const char* name;
    std::function<bool(const platform::Cdb&)> when;
    size_t at;
    bool written;
  } cases[] = {
      {"while the drive is brought to rest", [](const platform::Cdb&) { return true; }, 1, false},
      {"among the image's blocks", [](const platform::Cdb& cdb) { return cdb[0] == 0x3B; }, 10, true},
      {"at the flash start", IsFlashStart, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::StopGuard guard;
    platform::GetServices().stop = &guard;
    ActingTransport transport;
    platform::sim::SimDrive& drive = AddFittingDrive(transport);
    TFlashForm form(flash.data());
    form.SetStopGuard(&guard);
    CreateFlashWindow(form);
    form.show();
    transport.ClearLog();
    transport.when = c.when;
    transport.at = c.at;
    transport.action = [&form] { form.close(); };
    services.boxes.shown.clear();
    services.boxes.AnswerYes();
    form.FlashButton->click();
    EXPECT_EQ(transport.at, 0u);
    EXPECT_FALSE(form.isVisible());
    // The update question, and no restart offer.
    EXPECT_EQ(services.boxes.Texts(), std::vector<std::string>({"\nUpdate Firmware Q120 to Q150 ?\n"}));
    const std::string transcript = services.transcripts.Texts().back();
    if (c.written) {
      EXPECT_EQ(form.GetStatus(), "Flash Completed.");
      EXPECT_EQ(drive.FlashStartCount(), 1u);
      EXPECT_NE(transcript.find(" held window closed\n"), std::string::npos) << transcript;
    } else {
      EXPECT_EQ(transport.CountOpcode(0x3B), 0u);
      EXPECT_EQ(form.GetStatus(), "");
      EXPECT_NE(transcript.find(" stop window closed\n"), std::string::npos) << transcript;
    }
    platform::GetServices().stop = nullptr;
    CDDrive::SetTransport(nullptr);
  }

  // Outside a flash the window closes as ever.
  platform::sim::SimTransport transport;
  AddFittingDrive(transport);
  TFlashForm form(flash.data());
  CreateFlashWindow(form);
  form.show();
  EXPECT_TRUE(form.close());
  EXPECT_FALSE(form.isVisible());
  CDDrive::SetTransport(nullptr);
}

// An accessibility tool presses FLASH as Qt's AT-SPI bridge does
// (doAction(pressAction()), an animated click whose clicked signal follows
// some 100 ms later) while the flash runs beside the window's thread: among
// the image's blocks, during the drive's flash start, and at its refreshed
// INQUIRY, whose click comes after the flash. None starts a second flash,
// neither during the flash nor after it. Nor does a drive box entry chosen
// by such a tool during the flash change the drive.
TEST_F(WindowTest, AccessibilityPressDuringAFlashStartsNothing) {
  platform::QtBlockingCalls blocking;
  platform::GetServices().blocking = &blocking;
  const struct {
    const char* name;
    std::function<bool(const platform::Cdb&)> when;
    size_t at;
    unsigned flashStartsBefore;
  } cases[] = {
      {"among the image's blocks", [](const platform::Cdb& cdb) { return cdb[0] == 0x3B; }, 10, 0},
      {"at the flash start", IsFlashStart, 1, 0},
      {"at the refreshed INQUIRY", [](const platform::Cdb& cdb) { return cdb[0] == 0x12; }, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ActingTransport transport;
    platform::sim::SimDrive& drive = AddFittingDrive(transport, 300);
    TFlashForm form(flash.data());
    CreateFlashWindow(form);
    form.show();
    transport.ClearLog();
    transport.when = c.when;
    transport.at = c.at;
    QPushButton* button = form.FlashButton;
    transport.action = [button] {
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
      ASSERT_NE(accessible, nullptr);
      ASSERT_NE(accessible->actionInterface(), nullptr);
      accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    };
    services.boxes.shown.clear();
    services.boxes.AnswerYes();  // the update; the restart is answered No
    form.FlashButton->click();
    const size_t commands = transport.Log().size();
    RunEventsFor(300);
    EXPECT_EQ(transport.at, 0u);
    EXPECT_EQ(transport.flashStartsBefore, c.flashStartsBefore);
    EXPECT_EQ(transport.Log().size(), commands);
    EXPECT_EQ(drive.FlashStartCount(), 1u);
    EXPECT_EQ(CountText(services.boxes.Texts(), "Update Firmware"), 1u);
    EXPECT_EQ(form.GetStatus(), "Flash Completed.");
    EXPECT_TRUE(form.FlashButton->isEnabled());
    // The window goes on: the next press flashes again.
    services.boxes.ClearScript();
    services.boxes.AnswerYes();
    form.FlashButton->click();
    EXPECT_EQ(drive.FlashStartCount(), 2u);
    CDDrive::SetTransport(nullptr);
  }

  // The drive box by the same route: an entry chosen during the flash
  // changes no drive, neither the one being flashed nor the one FLASH
  // flashes next.
  ActingTransport transport;
  AddFittingDrive(transport, 300);
  AddFittingDrive(transport);
  TFlashForm form(flash.data());
  CreateFlashWindow(form);
  ASSERT_EQ(form.ComboCount(), 2);
  form.show();
  CDDrive* flashed = form.CurrentDrive;
  transport.when = IsFlashStart;
  transport.at = 1;
  QComboBox* box = form.ComboBox;
  transport.action = [box] {
    box->setCurrentIndex(1);
    emit box->activated(1);
  };
  services.boxes.ClearScript();
  services.boxes.AnswerYes();
  form.FlashButton->click();
  RunEventsFor(300);
  EXPECT_EQ(transport.at, 0u);
  EXPECT_EQ(form.GetStatus(), "Flash Completed.");
  EXPECT_EQ(form.ComboItemIndex(), 0);
  EXPECT_EQ(form.CurrentDrive, flashed);
  CDDrive::SetTransport(nullptr);
  platform::GetServices().blocking = nullptr;
}

// With the flash beside the window's thread, its questions are the
// toolkit's modal boxes, shown on the window's thread: they take the user's
// clicks while every other input is dropped, and their answers reach the
// flash (here Yes to the update, No to the restart offer).
TEST_F(WindowTest, FlashQuestionsTakeTheirAnswersWhileTheFlashRunsBesideTheWindow) {
  platform::QtBlockingCalls blocking;
  platform::QtMessageBoxes boxes;
  platform::sim::SimTransport transport;
  platform::sim::SimDrive& drive = AddFittingDrive(transport);
  TFlashForm form(flash.data());
  CreateFlashWindow(form);
  form.show();
  platform::GetServices().blocking = &blocking;
  platform::GetServices().boxes = &boxes;
  std::vector<std::string> asked;  // each box's text, once
  QTimer answering;
  QElapsedTimer shown;              // since the box that is up now came
  answering.callOnTimeout([&] {
    QMessageBox* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible()) return;
    const std::string text = box->text().toStdString();
    if (asked.empty() || asked.back() != text) {
      asked.push_back(text);
      shown.start();
    }
    if (shown.elapsed() > 3000) {
      ADD_FAILURE() << "the box took no click: " << text;
      box->reject();
      return;
    }
    const QString answer = text.find("Update Firmware") != std::string::npos ? QStringLiteral("&Yes")
                                                                              : QStringLiteral("&No");
    for (QAbstractButton* button : box->buttons()) {
      // A click of the mouse, as the user gives it.
      if (button->text() == answer) QTest::mouseClick(button, Qt::LeftButton);
    }
  });
  answering.start(50);
  form.FlashButton->click();
  answering.stop();
  EXPECT_EQ(asked, std::vector<std::string>({"\nUpdate Firmware Q120 to Q150 ?\n",
                                             "The system needs to be restarted for the changes to take effect ?"}));
  EXPECT_EQ(form.GetStatus(), "Flash Completed.");
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  platform::GetServices().blocking = nullptr;
  platform::GetServices().boxes = &services.boxes;
  CDDrive::SetTransport(nullptr);
}

// An exception thrown by one of the window's events while the flash runs
// beside it does not cut the flash short: the flash goes on to its end, and
// the exception then reaches the flash's exception box.
TEST_F(WindowTest, ExceptionFromTheWindowDuringAFlashReachesItsBoxAfterTheFlash) {
  platform::QtBlockingCalls blocking;
  platform::GetServices().blocking = &blocking;
  ActingTransport transport;
  platform::sim::SimDrive& drive = AddFittingDrive(transport, 200);
  TFlashForm form(flash.data());
  CreateFlashWindow(form);
  form.show();
  transport.when = IsFlashStart;
  transport.at = 1;
  transport.action = [] {
    QMetaObject::invokeMethod(qApp, [] { throw std::runtime_error("a window event failed"); }, Qt::QueuedConnection);
  };
  services.boxes.shown.clear();
  services.boxes.AnswerYes();
  form.FlashButton->click();
  EXPECT_EQ(transport.at, 0u);
  EXPECT_EQ(form.GetStatus(), "Flash Completed.");
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  ASSERT_EQ(services.boxes.shown.size(), 3u);  // the update, the restart offer, the exception
  EXPECT_EQ(services.boxes.shown[1].text, "The system needs to be restarted for the changes to take effect ?");
  EXPECT_EQ(services.boxes.shown[2].kind, platform::BoxKind::Error);
  EXPECT_EQ(services.boxes.shown[2].caption, platform::ApplicationTitle);
  EXPECT_EQ(services.boxes.shown[2].text, "a window event failed");
  EXPECT_FALSE(services.inhibitor.held);
  EXPECT_FALSE(drive.HeldExclusively());
  CDDrive::SetTransport(nullptr);
  platform::GetServices().blocking = nullptr;
}

// The end of the session (a logout) while the window runs: outside an event
// it is let through and nothing is recorded; before the flash writes it
// stops the flash; while the drive is being written the session is asked to
// cancel its end where it lets the program ask, and the request is held.
TEST_F(WindowTest, SessionEndIsHeldOffOnlyWhileTheDriveIsWritten) {
  const struct {
    const char* name;
    bool eventRunning, writing, interaction;
    bool cancel;
    app::StopAction action;
    bool asked;       // whether the session was asked about interaction
    bool stopped;     // the flash is asked to stop
    const char* pending;
  } cases[] = {
      {"no event", false, false, true, false, app::StopAction::EndNow, false, false, ""},
      {"before the first write", true, false, true, false, app::StopAction::StopEvent, false, true, "logout"},
      {"while the drive is written", true, true, true, true, app::StopAction::AfterEvent, true, false, "logout"},
      {"without interaction", true, true, false, false, app::StopAction::AfterEvent, true, false, "logout"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::StopGuard guard;
    if (c.writing) {
      ASSERT_TRUE(guard.BeginWriting(nullptr));
    }
    bool asked = false;
    const app::SessionEndAnswer answer = app::AnswerSessionEnd(guard, c.eventRunning, [&] {
      asked = true;
      return c.interaction;
    });
    EXPECT_EQ(answer.cancel, c.cancel);
    EXPECT_EQ(answer.action, c.action);
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(guard.Requested(), c.stopped);
    EXPECT_EQ(guard.Pending(), c.pending);
    if (c.writing) {
      EXPECT_EQ(guard.EndWriting(), c.pending);
    }
  }
}

// --- A window that stays alive while the drive works -------------------------

using Clock = std::chrono::steady_clock;

int MillisecondsSince(Clock::time_point start) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// What a desktop does to a window over X11, from a connection of its own:
// the window manager's ping, an exposure, a click and a close request.
class X11Desktop {
 public:
  X11Desktop() : connection_(xcb_connect(nullptr, nullptr)) {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    screen_ = xcb_setup_roots_iterator(setup).data;
    protocols_ = Atom("WM_PROTOCOLS");
    ping_ = Atom("_NET_WM_PING");
    delete_ = Atom("WM_DELETE_WINDOW");
    // The window answers a ping on the root window.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_, screen_->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection_);
  }
  ~X11Desktop() { xcb_disconnect(connection_); }
  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  // Milliseconds until the window answered a _NET_WM_PING; -1 when it did not within `limit`.
  int Ping(xcb_window_t window, int limit) {
    const uint32_t stamp = ++stamp_;
    SendProtocol(window, ping_, stamp);
    const Clock::time_point start = Clock::now();
    while (MillisecondsSince(start) < limit) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        const bool pong = (event->response_type & 0x7F) == XCB_CLIENT_MESSAGE &&
                          reinterpret_cast<xcb_client_message_event_t*>(event)->data.data32[0] == ping_ &&
                          reinterpret_cast<xcb_client_message_event_t*>(event)->data.data32[1] == stamp;
        std::free(event);
        if (pong) return MillisecondsSince(start);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
  }

  void RequestClose(xcb_window_t window) { SendProtocol(window, delete_, XCB_CURRENT_TIME); }

  // A press and release of the first mouse button at a point of the screen.
  void Click(int x, int y) {
    xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, screen_->root,
                        static_cast<int16_t>(x), static_cast<int16_t>(y), 0);
    xcb_test_fake_input(connection_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(connection_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(connection_);
  }

  // The window's pixels as the screen shows them.
  std::vector<uint8_t> Pixels(xcb_window_t window, int width, int height) {
    xcb_get_image_reply_t* reply = xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), ~0u),
        nullptr);
    std::vector<uint8_t> pixels;
    if (reply != nullptr) {
      const uint8_t* data = xcb_get_image_data(reply);
      pixels.assign(data, data + xcb_get_image_data_length(reply));
      std::free(reply);
    }
    return pixels;
  }

  // Lays a window of one colour over the rectangle and takes it away again:
  // what lay under it is exposed, and only its owner can draw it again.
  void CoverAndUncover(int x, int y, int width, int height) {
    const xcb_window_t cover = xcb_generate_id(connection_);
    const uint32_t values[] = {0xFF00FFu, 1u};  // background pixel, override-redirect
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, cover, screen_->root, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection_, cover);
    xcb_flush(connection_);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    xcb_destroy_window(connection_, cover);
    xcb_flush(connection_);
  }

 private:
  xcb_atom_t Atom(const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
  }

  void SendProtocol(xcb_window_t window, xcb_atom_t protocol, uint32_t stamp) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = protocols_;
    message.data.data32[0] = protocol;
    message.data.data32[1] = stamp;
    message.data.data32[2] = window;
    xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    xcb_flush(connection_);
  }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
  xcb_atom_t protocols_ = XCB_ATOM_NONE;
  xcb_atom_t ping_ = XCB_ATOM_NONE;
  xcb_atom_t delete_ = XCB_ATOM_NONE;
  uint32_t stamp_ = 0;
};

// While the drive programs its flash (10 s here), the window answers every
// ping of the desktop within a second and draws itself again when it has
// been covered, but takes no click; the flash ends as before, and the close
// requested meanwhile closes the window after it, instead of the restart
// offer. On a real X server only (QT_QPA_PLATFORM=xcb): CTest runs it under
// Xvfb.
TEST_F(WindowTest, StaysAliveWhileTheDriveProgramsItsFlash) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
    if (std::getenv("FLASHUTIL_REQUIRE_X11") != nullptr) FAIL() << "no X server";
    GTEST_SKIP() << "needs an X server (QT_QPA_PLATFORM=xcb)";
  }
  platform::QtBlockingCalls blocking;
  platform::GetServices().blocking = &blocking;
  platform::StopGuard guard;
  platform::GetServices().stop = &guard;
  platform::sim::SimTransport transport;
  platform::sim::SimDrive& drive = AddFittingDrive(transport, 10000);
  TFlashForm form(flash.data());
  form.SetStopGuard(&guard);
  CreateFlashWindow(form);
  ASSERT_EQ(form.ComboCount(), 1);
  form.show();
  for (int wait = 0; wait < 300 && !(form.windowHandle() && form.windowHandle()->isExposed()); ++wait) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  QCoreApplication::processEvents();
  const xcb_window_t window = static_cast<xcb_window_t>(form.winId());
  const QRect frame = form.geometry();
  const QPoint button = form.FlashButton->mapToGlobal(form.FlashButton->rect().center());

  std::vector<int> pings;
  bool repainted = false;
  std::thread desktop([&] {
    X11Desktop x11;
    const Clock::time_point start = Clock::now();
    while (!drive.Programming() && MillisecondsSince(start) < 30000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!drive.Programming()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<uint8_t> before = x11.Pixels(window, frame.width(), frame.height());
    x11.CoverAndUncover(frame.x(), frame.y(), frame.width(), frame.height());
    for (const Clock::time_point uncovered = Clock::now(); !repainted && MillisecondsSince(uncovered) < 1000;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      repainted = x11.Pixels(window, frame.width(), frame.height()) == before;
    }
    x11.Click(button.x(), button.y());
    x11.RequestClose(window);
    while (drive.Programming()) {
      pings.push_back(x11.Ping(window, 1000));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  });
  services.boxes.AnswerYes();  // the update
  form.FlashButton->click();
  desktop.join();
  // Whatever the desktop sent has arrived by now: none of it may act late.
  for (const Clock::time_point end = Clock::now(); MillisecondsSince(end) < 300;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }

  ASSERT_FALSE(pings.empty());
  for (int ms : pings) EXPECT_TRUE(ms >= 0 && ms < 1000) << ms;
  EXPECT_TRUE(repainted);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.GetStatus(), "Flash Completed.");
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  EXPECT_EQ(services.boxes.shown.size(), 2u);  // the warning, the update: no second flash, no restart offer
  EXPECT_NE(services.transcripts.Texts().back().find(" held window closed\n"), std::string::npos);
  CDDrive::SetTransport(nullptr);
  platform::GetServices().blocking = nullptr;
  platform::GetServices().stop = nullptr;
}

TEST_F(WindowTest, QuitRequestEndsTheLoopOnceItRuns) {
  TFlashForm form(package.data());
  form.RequestQuit(true);
  EXPECT_TRUE(form.QuitRequested());
  // The request is posted: the loop started afterwards ends at once.
  EXPECT_EQ(QApplication::exec(), 0);
}

}  // namespace
