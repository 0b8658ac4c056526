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
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <qdrawutil.h>

#include "platform/Files.h"
#include "platform/qt/FileListBox.h"

namespace {

QString FromLocal(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
std::string ToLocal(const QString& text) { return text.toLocal8Bit().toStdString(); }

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
  connect(FlashButton, &QPushButton::clicked, this, [this] { Handle(&FlashFormCore::FlashButtonClick); });
}

TFlashForm::~TFlashForm() { FormDestroy(); }

void TFlashForm::Handle(void (FlashFormCore::*event)()) {
  const bool outer = !handling_;
  handling_ = true;
  Dispatch(event);
  if (outer) handling_ = false;
}

void TFlashForm::closeEvent(QCloseEvent* event) {
  if (handling_) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

QIcon TFlashForm::ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) {
    icon.addFile(QStringLiteral(":/flashutil/flashutil-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

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
// File names and paths pass as bytes, never through the toolkit's strings.
void TFlashForm::FileListSetDirectory(const std::string& directory) { FileListBox1->SetDirectory(directory); }
void TFlashForm::FileListSetMask(const std::string& mask) { FileListBox1->SetMask(mask); }
std::string TFlashForm::FileListSelectedName() const { return FileListBox1->SelectedName(); }
std::string TFlashForm::FileListSelectedPath() const { return FileListBox1->SelectedPath(); }

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

std::string TFlashForm::ProgramFilePath() const { return platform::RunningProgramPath(); }

std::string TFlashForm::CurrentDirectory() const { return platform::WorkingDirectory(); }
