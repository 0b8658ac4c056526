// A stand-in for systemd-logind: Manager.Inhibit(ssss) hands out the write end of a pipe,
// Manager.Reboot(b) is answered; stdout gets a line each: "ready", "inhibit <what>|<who>|
// <why>|<mode>", "released" (the pipe saw EOF), "reboot true|false", "bad <call> <signature>".
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QStringList>
#include <cstdio>

namespace {

void Report(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

class FakeManager final : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const bool manager = message.interface() == QLatin1String("org.freedesktop.login1.Manager");
    const QString member = message.member(), signature = message.signature();
    int ends[2];
    if (manager && member == QLatin1String("Inhibit") && signature == QLatin1String("ssss") && ::pipe(ends) == 0) {
      QStringList args;
      for (const QVariant& a : message.arguments()) args << a.toString();
      Report(QStringLiteral("inhibit ") + args.join(QLatin1Char('|')));
      // We keep the read end; once every copy of the write end is closed it reads EOF.
      auto* watch = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
      QObject::connect(watch, &QSocketNotifier::activated, watch, [watch, fd = ends[0]] {
        char byte;
        if (::read(fd, &byte, 1) <= 0) watch->setEnabled(false), Report(QStringLiteral("released"));
      });
      QDBusUnixFileDescriptor handed;
      handed.giveFileDescriptor(ends[1]);
      return connection.send(message.createReply(QVariant::fromValue(handed)));
    }
    if (manager && member == QLatin1String("Reboot") && signature == QLatin1String("b")) {
      Report(QStringLiteral("reboot ") + (message.arguments().value(0).toBool() ? "true" : "false"));
      return connection.send(message.createReply());
    }
    Report(QStringLiteral("bad %1.%2 %3").arg(message.interface(), member, signature));
    return connection.send(message.createErrorReply(QDBusError::InvalidSignature, QStringLiteral("unexpected")));
  }
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QDBusConnection bus = QDBusConnection::systemBus();
  FakeManager manager;
  if (!bus.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), &manager) ||
      !bus.registerService(QStringLiteral("org.freedesktop.login1"))) {
    std::fprintf(stderr, "fake_logind: %s\n", qPrintable(bus.lastError().message()));
    return 1;
  }
  Report(QStringLiteral("ready"));
  return app.exec();
}
