// The yardstick of the start-up benchmark: a Qt Widgets program that shows
// an empty window and ends from a 0 ms timer once its event loop runs.
#include <QApplication>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QWidget window;
  window.resize(425, 201);
  window.show();
  QTimer::singleShot(0, &window, [] { QCoreApplication::exit(0); });
  return QApplication::exec();
}
