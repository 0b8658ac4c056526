#include "app/TFlashForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <qdrawutil.h>

#include "app/StopDecision.h"
#include "platform/Files.h"
#include "platform/Services.h"
#include "platform/qt/FileListBox.h"
#include "platform/qt/WindowThread.h"

namespace {

QString FromLocal(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

// Rows of the drive box's list and of the file list, in pixels.
constexpr int kItemHeight = 16;
// The status line's band: the progress bar and the button sit this far below
// the top of GroupBox2.
constexpr int kStatusBand = 16;
// The status line runs from the progress bar's left edge to the button's right edge.
constexpr int kStatusLeft = 8;
constexpr int kStatusRight = 8;
// A status text wider than its band is drawn narrower, down to this share of
// its width; a text that would need less is shortened in the middle.
constexpr qreal kMinimumStretch = 0.5;

// Where the baseline goes so that the glyphs of the texts shown here (letters,
// digits, punctuation) lie whole in a band of `height` pixels. The 16-pixel
// font's line is taller than 16 pixels, but its glyphs are not: placing the
// baseline by the glyphs rather than by the line keeps descenders and
// ascenders inside the band. Where they cannot both fit, the descenders win.
int GlyphBaseline(const QFontMetrics& metrics, int height) {
  const QRect glyphs = metrics.tightBoundingRect(QStringLiteral(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.,:;!?'-_()"));
  const int centred = -glyphs.top() + std::max(0, (height - glyphs.height()) / 2);
  return std::min(centred, height - (glyphs.top() + glyphs.height()));
}

// The rows of both lists: kItemHeight pixels high, the text placed by its glyphs.
class RowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return {QStyledItemDelegate::sizeHint(option, index).width(), kItemHeight};
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    const QString text = item.text;
    item.text.clear();
    const QWidget* widget = item.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    // Background, selection and focus frame as the style draws them; then the text.
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);

    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget)
                           .adjusted(margin, 0, -margin, 0);
    const QPalette::ColorGroup group = !(item.state & QStyle::State_Enabled)  ? QPalette::Disabled
                                       : !(item.state & QStyle::State_Active) ? QPalette::Inactive
                                                                               : QPalette::Normal;
    const QPalette::ColorRole role =
        (item.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text;
    painter->save();
    painter->setClipRect(option.rect);
    painter->setFont(item.font);
    painter->setPen(item.palette.color(group, role));
    const QFontMetrics metrics(item.font);
    painter->drawText(QPoint(area.left(), option.rect.top() + GlyphBaseline(metrics, option.rect.height())),
                      metrics.elidedText(text, Qt::ElideRight, area.width()));
    painter->restore();
  }
};

// GroupBox2: its caption is the status line, drawn whole in the band above
// the progress bar; the frame's top edge runs through the caption's middle.
class StatusGroupBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    // An etched frame, drawn here rather than by the style: styles that leave
    // room for a caption above the frame would put its top edge behind the
    // progress bar.
    qDrawShadeRect(&painter, rect().adjusted(0, kStatusBand / 2, 0, 0), palette(), true, 1, 0);

    QString text = title();
    if (text.isEmpty()) return;
    const QFontMetrics metrics(font());
    // The frame's top edge is cut away 2 pixels either side of the text.
    const int gap = 2;
    const int room = width() - kStatusLeft - kStatusRight - gap;
    int advance = metrics.horizontalAdvance(text);
    if (advance * kMinimumStretch > room) {
      text = metrics.elidedText(text, Qt::ElideMiddle, static_cast<int>(room / kMinimumStretch));
      advance = metrics.horizontalAdvance(text);
    }
    const qreal stretch = advance > room ? static_cast<qreal>(room) / advance : 1.0;
    const int drawn = std::min(room, static_cast<int>(std::ceil(advance * stretch)));
    painter.fillRect(QRect(kStatusLeft - gap, 0, drawn + 2 * gap, kStatusBand), palette().brush(backgroundRole()));
    painter.setPen(palette().color(isEnabled() ? QPalette::Normal : QPalette::Disabled, QPalette::WindowText));
    painter.translate(kStatusLeft, GlyphBaseline(metrics, kStatusBand));
    painter.scale(stretch, 1.0);
    painter.drawText(0, 0, text);
  }
};

}  // namespace

TFlashForm::TFlashForm(const uint8_t* package, QWidget* parent)
    : QWidget(parent), FlashFormCore(package, *this) {
  setObjectName(QStringLiteral("FlashForm"));
  setWindowIcon(ProgramIcon());
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
  ComboBox->setItemDelegate(new RowDelegate(ComboBox));

  FileListBox1 = new platform::FileListBox(Panel1);
  FileListBox1->setObjectName(QStringLiteral("FileListBox1"));
  FileListBox1->setGeometry(16, 72, 385, 41);
  FileListBox1->setUniformItemSizes(true);
  FileListBox1->setItemDelegate(new RowDelegate(FileListBox1));

  GroupBox2 = new StatusGroupBox(Panel1);
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
  // An exception must not travel up into the toolkit's event loop, which
  // would end the program: Dispatch shows it and the loop goes on.
  connect(ComboBox, &QComboBox::activated, this, [this](int) {
    comboTyped_ = false;
    Handle(&FlashFormCore::ComboBoxChange);
  });
  connect(ComboBox->lineEdit(), &QLineEdit::textEdited, this, [this](const QString&) {
    comboTyped_ = true;
    Handle(&FlashFormCore::ComboBoxChange);
  });
  connect(FileListBox1, &platform::FileListBox::FileClicked, this,
          [this] { Handle(&FlashFormCore::FileListBox1Click); });
  // Every click follows its own press (an accessibility press, a key, the
  // mouse, click()), so the press tells whether the click belongs to the
  // time an event ran.
  connect(FlashButton, &QPushButton::pressed, this, [this] { pressedDuringEvent_ = handling_; });
  connect(FlashButton, &QPushButton::clicked, this, [this] {
    if (pressedDuringEvent_) return;
    Handle(&FlashFormCore::FlashButtonClick);
  });
}

TFlashForm::~TFlashForm() { FormDestroy(); }

void TFlashForm::Handle(void (FlashFormCore::*event)()) {
  // One event at a time: one that reaches the form while another runs (by
  // any route: a click a modal loop let through, an accessibility press, a
  // signal of a widget) is dropped, neither run inside it nor kept for later.
  if (handling_) return;
  handling_ = true;
  flashEvent_ = false;
  Dispatch(event);
  handling_ = false;
  std::vector<std::function<void()>> waiting;
  waiting.swap(afterEvent_);
  for (const std::function<void()>& then : waiting) then();
}

void TFlashForm::AfterEvent(std::function<void()> then) {
  if (handling_) {
    afterEvent_.push_back(std::move(then));
  } else {
    then();
  }
}

void TFlashForm::AnswerOpenQuestionNo() {
  // The boxes of the program are the only modal windows it opens; one that
  // is closed this way answers No.
  if (QMessageBox* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->reject();
}

void TFlashForm::closeEvent(QCloseEvent* event) {
  if (!handling_) {
    QWidget::closeEvent(event);
    return;
  }
  event->ignore();
  if (guard_ == nullptr) return;
  const app::StopAction action = app::ActionFor(true, guard_->Request("window closed"));
  if (action == app::StopAction::StopEvent) AnswerOpenQuestionNo();
  CloseAfterEvent();
}

void TFlashForm::CloseAfterEvent() {
  if (closeAfterEvent_) return;
  closeAfterEvent_ = true;
  AfterEvent([this] {
    closeAfterEvent_ = false;
    close();
  });
}

void TFlashForm::RunFlashSequence(const std::function<void()>& flash) {
  flashEvent_ = true;
  {
    const std::lock_guard<std::mutex> lock(flashMutex_);
    flashBeside_ = platform::GetServices().blocking != nullptr;
  }
  // The flash tells its own end, on its own thread: the window's thread may
  // be in no state to see it (its display gone, the toolkit ending the
  // program from under it).
  struct Ended {
    TFlashForm& form;
    ~Ended() {
      {
        const std::lock_guard<std::mutex> lock(form.flashMutex_);
        form.flashBeside_ = false;
      }
      form.flashEnded_.notify_all();
    }
  };
  platform::RunBlocking([this, &flash] {
    const Ended ended{*this};
    flash();
  });
}

bool TFlashForm::FlashRunsBeside() {
  const std::lock_guard<std::mutex> lock(flashMutex_);
  return flashBeside_;
}

bool TFlashForm::WaitForFlashBeside() {
  std::unique_lock<std::mutex> lock(flashMutex_);
  if (!flashBeside_) return false;
  flashEnded_.wait(lock, [this] { return !flashBeside_; });
  return true;
}

QIcon TFlashForm::ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) {
    icon.addFile(QStringLiteral(":/flashutil/flashutil-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

// The view's calls may come from a flash beside the window's thread: each
// is done on the window's thread, and dropped (a question answered with the
// empty default) once the window's thread is lost.
void TFlashForm::SetCaption(const std::string& text) {
  platform::RunOnWindowThread([this, text] { setWindowTitle(FromLocal(text)); });
}
void TFlashForm::SetSelectDriveLabel(const std::string& text) {
  platform::RunOnWindowThread([this, text] { SelectDriveLabel->setText(FromLocal(text)); });
}

void TFlashForm::ComboAdd(const std::string& text) {
  platform::RunOnWindowThread([this, text] { ComboBox->addItem(FromLocal(text)); });
}
void TFlashForm::ComboInsert(int index, const std::string& text) {
  platform::RunOnWindowThread([this, index, text] { ComboBox->insertItem(index, FromLocal(text)); });
}
void TFlashForm::ComboDelete(int index) {
  platform::RunOnWindowThread([this, index] { ComboBox->removeItem(index); });
}
int TFlashForm::ComboCount() const {
  return platform::ResultOnWindowThread<int>([this] { return ComboBox->count(); }).value_or(0);
}
int TFlashForm::ComboItemIndex() const {
  return platform::ResultOnWindowThread<int>([this] { return comboTyped_ ? -1 : ComboBox->currentIndex(); })
      .value_or(-1);
}
void TFlashForm::ComboSetItemIndex(int index) {
  platform::RunOnWindowThread([this, index] {
    comboTyped_ = false;
    ComboBox->setCurrentIndex(index);
    if (index < 0) ComboBox->setEditText(QString());
  });
}
void TFlashForm::ComboUpdate() {
  platform::RunOnWindowThread([this] { ComboBox->repaint(); });
}

void TFlashForm::FileListSetVisible(bool visible) {
  platform::RunOnWindowThread([this, visible] { FileListBox1->setVisible(visible); });
}
// File names and paths pass as bytes, never through the toolkit's strings.
void TFlashForm::FileListSetDirectory(const std::string& directory) {
  platform::RunOnWindowThread([this, directory] { FileListBox1->SetDirectory(directory); });
}
void TFlashForm::FileListSetMask(const std::string& mask) {
  platform::RunOnWindowThread([this, mask] { FileListBox1->SetMask(mask); });
}
std::string TFlashForm::FileListSelectedName() const {
  return platform::ResultOnWindowThread<std::string>([this] { return FileListBox1->SelectedName(); })
      .value_or(std::string());
}
std::string TFlashForm::FileListSelectedPath() const {
  return platform::ResultOnWindowThread<std::string>([this] { return FileListBox1->SelectedPath(); })
      .value_or(std::string());
}

void TFlashForm::SetStatus(const std::string& text) {
  {
    const std::lock_guard<std::mutex> lock(statusMutex_);
    status_ = text;
  }
  platform::RunOnWindowThread([this, text] {
    GroupBox2->setTitle(FromLocal(text));
    GroupBox2->repaint();
  });
}
std::string TFlashForm::GetStatus() const {
  const std::lock_guard<std::mutex> lock(statusMutex_);
  return status_;
}

void TFlashForm::ProgressSetRange(int minimum, int maximum) {
  platform::RunOnWindowThread([this, minimum, maximum] {
    ProgressBar->setRange(minimum, maximum);
    progressPaintDue_ = true;
  });
}
void TFlashForm::ProgressSetPosition(int position) {
  platform::RunOnWindowThread([this, position] {
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
  });
}
// The workflow advances the bar by explicit amounts, so the bar keeps no step.
void TFlashForm::ProgressSetStep(int) {}
void TFlashForm::ProgressStepBy(int delta) {
  platform::RunOnWindowThread([this, delta] { ProgressSetPosition(ProgressBar->value() + delta); });
}

void TFlashForm::SetFlashButtonCaption(const std::string& text) {
  platform::RunOnWindowThread([this, text] { FlashButton->setText(FromLocal(text)); });
}
void TFlashForm::SetFlashButtonEnabled(bool enabled) {
  platform::RunOnWindowThread([this, enabled] { FlashButton->setEnabled(enabled); });
}

void TFlashForm::RequestQuit(bool closeForm) {
  quitRequested_ = true;
  // Posted to the loop: a request made while the form is being created takes
  // effect as soon as the message loop runs.
  QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
  if (closeForm) QTimer::singleShot(0, this, [this] { close(); });
}

std::string TFlashForm::ProgramFilePath() const { return platform::RunningProgramPath(); }

std::string TFlashForm::CurrentDirectory() const { return platform::WorkingDirectory(); }
