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
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include "app/TFlashForm.h"
#include "drive/CDDrive.h"
#include "package/Package.h"
#include "platform/qt/FileListBox.h"
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

// A close request that reaches the window while a flash runs (here from
// inside a drive command) is refused: the flash goes on to its end, and the
// window stays.
class ClosingTransport final : public platform::sim::SimTransport {
 public:
  QWidget* window = nullptr;
  size_t closeAt = 0;  // the command during which the window is asked to close; 0: none
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    if (closeAt != 0 && --closeAt == 0) window->close();
    return SimTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }
};

TEST_F(WindowTest, CloseIsRefusedWhileAFlashRuns) {
  ClosingTransport transport;
  platform::sim::SimDrive& drive = AddFittingDrive(transport);
  TFlashForm form(flash.data());
  CreateFlashWindow(form);
  form.show();
  transport.window = &form;
  transport.closeAt = 20;
  services.boxes.AnswerYes();
  form.FlashButton->click();
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.GetStatus(), "Flash Completed.");
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  // Once the flash is over, the window closes as ever.
  EXPECT_TRUE(form.close());
  CDDrive::SetTransport(nullptr);
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
// been covered, but takes no click and no close; the flash ends as before.
// On a real X server only (QT_QPA_PLATFORM=xcb): CTest runs it under Xvfb.
TEST_F(WindowTest, StaysAliveWhileTheDriveProgramsItsFlash) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
    if (std::getenv("FLASHUTIL_REQUIRE_X11") != nullptr) FAIL() << "no X server";
    GTEST_SKIP() << "needs an X server (QT_QPA_PLATFORM=xcb)";
  }
  platform::QtBlockingCalls blocking;
  platform::GetServices().blocking = &blocking;
  platform::sim::SimTransport transport;
  platform::sim::SimDrive& drive = AddFittingDrive(transport, 10000);
  TFlashForm form(flash.data());
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
  services.boxes.AnswerNo();   // the restart
  form.FlashButton->click();
  desktop.join();
  // Whatever the desktop sent has arrived by now: none of it may act late.
  for (const Clock::time_point end = Clock::now(); MillisecondsSince(end) < 300;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }

  ASSERT_FALSE(pings.empty());
  for (int ms : pings) EXPECT_TRUE(ms >= 0 && ms < 1000) << ms;
  EXPECT_TRUE(repainted);
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.GetStatus(), "Flash Completed.");
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  EXPECT_EQ(services.boxes.shown.size(), 3u);  // the warning, the update, the restart: no second flash
  CDDrive::SetTransport(nullptr);
  platform::GetServices().blocking = nullptr;
}

TEST_F(WindowTest, QuitRequestEndsTheLoopOnceItRuns) {
  TFlashForm form(package.data());
  form.RequestQuit(true);
  EXPECT_TRUE(form.QuitRequested());
  // The request is posted: the loop started afterwards ends at once.
  EXPECT_EQ(QApplication::exec(), 0);
}

}  // namespace
