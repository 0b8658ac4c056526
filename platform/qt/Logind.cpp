// systemd-logind over the system bus. The restart asks logind to reboot
// without an interactive authorisation and does not look at the answer; the
// inhibitor keeps the file descriptor that logind hands out, because the lock
// lasts exactly as long as that descriptor stays open.
#include "platform/qt/Logind.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QString>
#include <QVariant>

namespace platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");

const char* const kInhibitWhat =
    "sleep:shutdown:idle:handle-lid-switch:handle-power-key:handle-suspend-key:handle-hibernate-key";

// Short enough that a missing or hanging logind does not hold up a flash.
constexpr int kInhibitTimeoutMs = 2000;
constexpr int kRebootTimeoutMs = 5000;

}  // namespace

void LogindRestart::RequestReboot() {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kManager, QStringLiteral("Reboot"));
  call << false;  // not interactive
  bus.call(call, QDBus::Block, kRebootTimeoutMs);
}

LogindInhibitor::~LogindInhibitor() { Release(); }

bool LogindInhibitor::Acquire(const std::string& who, const std::string& why) {
  if (fd_ >= 0) return true;  // already held
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kManager, QStringLiteral("Inhibit"));
  // The lid switch and the power, suspend and hibernate keys act whatever
  // sleep lock is held, unless their handling is held off as well.
  call << QString::fromLatin1(kInhibitWhat) << QString::fromStdString(who) << QString::fromStdString(why)
       << QStringLiteral("block");
  const QDBusMessage reply = bus.call(call, QDBus::Block, kInhibitTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
  const QDBusUnixFileDescriptor descriptor = reply.arguments().constFirst().value<QDBusUnixFileDescriptor>();
  if (!descriptor.isValid()) return false;
  // The reply's descriptor closes with the reply; keep a copy of our own.
  fd_ = ::dup(descriptor.fileDescriptor());
  return fd_ >= 0;
}

void LogindInhibitor::Release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace platform
