// A stand-in for systemd-logind: Manager.Inhibit(ssss) hands out the write end of a pipe,
// Manager.Reboot(b) is answered; stdout gets a line each: "ready", "inhibit <what>|<who>|
// <why>|<mode>", "released" (the pipe saw EOF), "reboot true|false", "bad <call> <signature>".
// With --portal it also stands in for the desktop portal on the session bus:
// Inhibit(sua{sv}) hands out a request object whose Close ends the lock ("portal inhibit
// <window>|<flags>|<reason>", "portal released"); with --gnome for GNOME's session manager
// instead: Inhibit(susu) answers cookie 42, Uninhibit(u) ends it ("gnome inhibit
// <app>|<xid>|<reason>|<flags>", "gnome released <cookie>").
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QVariantMap>
#include <cstdio>
#include <cstring>

namespace {

void Report(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

bool Unexpected(const QDBusMessage& message, const QDBusConnection& connection) {
  Report(QStringLiteral("bad %1.%2 %3").arg(message.interface(), message.member(), message.signature()));
  return connection.send(message.createErrorReply(QDBusError::InvalidSignature, QStringLiteral("unexpected")));
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
    return Unexpected(message, connection);
  }
};

// The portal's desktop object and the request objects below it.
class FakePortal final : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString member = message.member(), signature = message.signature();
    if (message.interface() == QLatin1String("org.freedesktop.portal.Inhibit") &&
        message.path() == QLatin1String("/org/freedesktop/portal/desktop") && member == QLatin1String("Inhibit") &&
        signature == QLatin1String("sua{sv}")) {
      const QList<QVariant> args = message.arguments();
      const QVariantMap options = qdbus_cast<QVariantMap>(args.value(2));
      Report(QStringLiteral("portal inhibit %1|%2|%3")
                 .arg(args.value(0).toString(), QString::number(args.value(1).toUInt()),
                      options.value(QStringLiteral("reason")).toString()));
      return connection.send(message.createReply(
          QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/freedesktop/portal/desktop/request/1_1/t1")))));
    }
    if (message.interface() == QLatin1String("org.freedesktop.portal.Request") &&
        message.path() == QLatin1String("/org/freedesktop/portal/desktop/request/1_1/t1") &&
        member == QLatin1String("Close") && signature.isEmpty()) {
      Report(QStringLiteral("portal released"));
      return connection.send(message.createReply());
    }
    return Unexpected(message, connection);
  }
};

class FakeSessionManager final : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const bool manager = message.interface() == QLatin1String("org.gnome.SessionManager");
    const QString member = message.member(), signature = message.signature();
    const QList<QVariant> args = message.arguments();
    if (manager && member == QLatin1String("Inhibit") && signature == QLatin1String("susu")) {
      Report(QStringLiteral("gnome inhibit %1|%2|%3|%4")
                 .arg(args.value(0).toString(), QString::number(args.value(1).toUInt()), args.value(2).toString(),
                      QString::number(args.value(3).toUInt())));
      return connection.send(message.createReply(QVariant::fromValue(42u)));
    }
    if (manager && member == QLatin1String("Uninhibit") && signature == QLatin1String("u")) {
      Report(QStringLiteral("gnome released %1").arg(args.value(0).toUInt()));
      return connection.send(message.createReply());
    }
    return Unexpected(message, connection);
  }
};

bool Serve(QDBusConnection bus, const QString& service, const QString& path, QDBusVirtualObject* object) {
  if (bus.registerVirtualObject(path, object, QDBusConnection::SubPath) && bus.registerService(service)) return true;
  std::fprintf(stderr, "fake_logind: %s\n", qPrintable(bus.lastError().message()));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  FakeManager manager;
  FakePortal portal;
  FakeSessionManager gnome;
  if (!Serve(QDBusConnection::systemBus(), QStringLiteral("org.freedesktop.login1"),
             QStringLiteral("/org/freedesktop/login1"), &manager)) {
    return 1;
  }
  const bool withPortal = argc > 1 && std::strcmp(argv[1], "--portal") == 0;
  const bool withGnome = argc > 1 && std::strcmp(argv[1], "--gnome") == 0;
  if (withPortal && !Serve(QDBusConnection::sessionBus(), QStringLiteral("org.freedesktop.portal.Desktop"),
                           QStringLiteral("/org/freedesktop/portal/desktop"), &portal)) {
    return 1;
  }
  if (withGnome && !Serve(QDBusConnection::sessionBus(), QStringLiteral("org.gnome.SessionManager"),
                          QStringLiteral("/org/gnome/SessionManager"), &gnome)) {
    return 1;
  }
  Report(QStringLiteral("ready"));
  return app.exec();
}
