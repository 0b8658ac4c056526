#include "app/TFlashForm.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "platform/qt/FileListBox.h"

namespace {

QString FromLocal(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
std::string ToLocal(const QString& text) { return text.toLocal8Bit().toStdString(); }

}  // namespace

TFlashForm::TFlashForm(const uint8_t* package, QWidget* parent)
    : QWidget(parent), FlashFormCore(package, *this) {
  setObjectName(QStringLiteral("FlashForm"));
  move(192, 128);
  // "System" is the face the layout was drawn with; where it does not exist a
  // condensed sans keeps the label's texts inside their fixed widths.
  QFont font;
  font.setFamilies({QStringLiteral("System"), QStringLiteral("Liberation Sans Narrow"),
                    QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Sans Serif")});
  font.setPixelSize(16);
  font.setBold(true);
  setFont(font);
  setAutoFillBackground(true);
  setPalette(QPalette(palette().color(QPalette::Button)));

  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setFrameShape(QFrame::Panel);
  Panel1->setFrameShadow(QFrame::Raised);
  Panel1->setGeometry(0, 0, 425, 201);

  SelectDriveLabel = new QLabel(Panel1);
  SelectDriveLabel->setObjectName(QStringLiteral("SelectDriveLabel"));
  SelectDriveLabel->setGeometry(16, 16, 369, 25);

  ComboBox = new QComboBox(Panel1);
  ComboBox->setObjectName(QStringLiteral("ComboBox"));
  ComboBox->setEditable(true);
  ComboBox->setInsertPolicy(QComboBox::NoInsert);
  ComboBox->setGeometry(16, 40, 385, 24);
  ComboBox->setEditText(QString());

  FileListBox1 = new platform::FileListBox(Panel1);
  FileListBox1->setObjectName(QStringLiteral("FileListBox1"));
  FileListBox1->setGeometry(16, 72, 385, 41);

  GroupBox2 = new QGroupBox(Panel1);
  GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
  GroupBox2->setGeometry(16, 128, 385, 49);

  ProgressBar = new QProgressBar(GroupBox2);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setGeometry(8, 16, 305, 25);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setTextVisible(false);

  FlashButton = new QPushButton(QStringLiteral("FLASH"), GroupBox2);
  FlashButton->setObjectName(QStringLiteral("FlashButton"));
  FlashButton->setGeometry(320, 16, 57, 25);
  FlashButton->setEnabled(true);

  // Tab order: ComboBox, FileListBox1, then the group box's progress bar and button.
  ComboBox->setFocusPolicy(Qt::StrongFocus);
  FileListBox1->setFocusPolicy(Qt::StrongFocus);
  setTabOrder(ComboBox, FileListBox1);
  setTabOrder(FileListBox1, FlashButton);

  setFixedSize(425, 201);

  // The change event fires for the user's picks and typing, not for changes
  // the program makes itself.
  connect(ComboBox, &QComboBox::activated, this, [this](int) {
    comboTyped_ = false;
    ComboBoxChange();
  });
  connect(ComboBox->lineEdit(), &QLineEdit::textEdited, this, [this](const QString&) {
    comboTyped_ = true;
    ComboBoxChange();
  });
  connect(FileListBox1, &platform::FileListBox::FileClicked, this, [this] { FileListBox1Click(); });
  connect(FlashButton, &QPushButton::clicked, this, [this] { FlashButtonClick(); });
}

TFlashForm::~TFlashForm() { FormDestroy(); }

void TFlashForm::SetCaption(const std::string& text) { setWindowTitle(FromLocal(text)); }
void TFlashForm::SetSelectDriveLabel(const std::string& text) { SelectDriveLabel->setText(FromLocal(text)); }

void TFlashForm::ComboAdd(const std::string& text) { ComboBox->addItem(FromLocal(text)); }
void TFlashForm::ComboInsert(int index, const std::string& text) {
  ComboBox->insertItem(index, FromLocal(text));
}
void TFlashForm::ComboDelete(int index) { ComboBox->removeItem(index); }
int TFlashForm::ComboCount() const { return ComboBox->count(); }
int TFlashForm::ComboItemIndex() const { return comboTyped_ ? -1 : ComboBox->currentIndex(); }
void TFlashForm::ComboSetItemIndex(int index) {
  comboTyped_ = false;
  ComboBox->setCurrentIndex(index);
  if (index < 0) ComboBox->setEditText(QString());
}
void TFlashForm::ComboUpdate() { ComboBox->repaint(); }

void TFlashForm::FileListSetVisible(bool visible) { FileListBox1->setVisible(visible); }
void TFlashForm::FileListSetDirectory(const std::string& directory) {
  FileListBox1->SetDirectory(FromLocal(directory));
}
void TFlashForm::FileListSetMask(const std::string& mask) { FileListBox1->SetMask(FromLocal(mask)); }
std::string TFlashForm::FileListSelectedName() const { return ToLocal(FileListBox1->SelectedName()); }
std::string TFlashForm::FileListSelectedPath() const { return ToLocal(FileListBox1->SelectedPath()); }

void TFlashForm::SetStatus(const std::string& text) {
  GroupBox2->setTitle(FromLocal(text));
  GroupBox2->repaint();
}
std::string TFlashForm::GetStatus() const { return ToLocal(GroupBox2->title()); }

void TFlashForm::ProgressSetRange(int minimum, int maximum) {
  ProgressBar->setRange(minimum, maximum);
  progressPaintDue_ = true;
}
void TFlashForm::ProgressSetPosition(int position) {
  const int value = std::clamp(position, ProgressBar->minimum(), ProgressBar->maximum());
  // Against a fast drive a repaint per block would cost more than the block
  // itself. The bar is repainted at most every 15 ms, and always at the ends
  // of its range and after a change of range, so it never lags far behind
  // and always shows where a loop ended or a long command began.
  const bool atEnd = value == ProgressBar->minimum() || value == ProgressBar->maximum();
  const bool due = !progressPainted_.isValid() || progressPainted_.elapsed() >= 15;
  ProgressBar->setUpdatesEnabled(false);
  ProgressBar->setValue(value);
  ProgressBar->setUpdatesEnabled(true);
  if (atEnd || due || progressPaintDue_) {
    ProgressBar->repaint();
    progressPainted_.restart();
    progressPaintDue_ = false;
  }
}
// The workflow advances the bar by explicit amounts, so the bar keeps no step.
void TFlashForm::ProgressSetStep(int) {}
void TFlashForm::ProgressStepBy(int delta) { ProgressSetPosition(ProgressBar->value() + delta); }

void TFlashForm::SetFlashButtonCaption(const std::string& text) { FlashButton->setText(FromLocal(text)); }
void TFlashForm::SetFlashButtonEnabled(bool enabled) { FlashButton->setEnabled(enabled); }

void TFlashForm::RequestQuit(bool closeForm) {
  quitRequested_ = true;
  // Posted to the loop: a request made while the form is being created takes
  // effect as soon as the message loop runs.
  QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
  if (closeForm) QTimer::singleShot(0, this, [this] { close(); });
}

std::string TFlashForm::ProgramFilePath() const {
  return ToLocal(QCoreApplication::applicationFilePath());
}

std::string TFlashForm::CurrentDirectory() const { return ToLocal(QDir::currentPath()); }
