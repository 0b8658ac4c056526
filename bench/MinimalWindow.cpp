// The yardstick of the start-up benchmark: a Qt Widgets program that shows
// an empty window and ends from a 0 ms timer once its event loop runs.
// With --text the window shows one line of text in the flash program's font,
// so that the share of the font machinery can be told apart.
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <cstring>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QWidget window;
  window.resize(425, 201);
  if (argc > 1 && std::strcmp(argv[1], "--text") == 0) {
    QFont font(QStringLiteral("System"));
    font.setPixelSize(16);
    font.setBold(true);
    window.setFont(font);
    auto* label = new QLabel(QStringLiteral("Select the drive you want to update:"), &window);
    label->setGeometry(16, 16, 369, 25);
  }
  window.show();
  QTimer::singleShot(0, &window, [] { QCoreApplication::exit(0); });
  return QApplication::exec();
}
