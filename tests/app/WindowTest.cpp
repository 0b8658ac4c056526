// The main window: controls, geometry, initial state and the binding of the
// view hooks to the widgets.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <vector>

#include "app/TFlashForm.h"
#include "package/Package.h"
#include "platform/qt/FileListBox.h"
#include "tests/support/TestDoubles.h"

namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "tests_app";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { App(); }
  testing_support::ServicesScope services;
  std::vector<uint8_t> package = package::MakeBuilderPackage("");
};

TEST_F(WindowTest, ControlsHaveTheirNamesKindsGeometryAndInitialState) {
  TFlashForm form(package.data());
  EXPECT_EQ(form.objectName(), "FlashForm");
  EXPECT_EQ(form.pos(), QPoint(192, 128));
  EXPECT_EQ(form.font().pixelSize(), 16);
  EXPECT_TRUE(form.font().bold());
  EXPECT_TRUE(form.windowTitle().isEmpty());

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

TEST_F(WindowTest, QuitRequestEndsTheLoopOnceItRuns) {
  TFlashForm form(package.data());
  form.RequestQuit(true);
  EXPECT_TRUE(form.QuitRequested());
  // The request is posted: the loop started afterwards ends at once.
  EXPECT_EQ(QApplication::exec(), 0);
}

}  // namespace
