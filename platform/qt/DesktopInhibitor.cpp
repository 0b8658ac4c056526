// The desktop portal's Inhibit and GNOME's SessionManager.Inhibit over the
// session bus, with the flags of a logout and a suspend.
#include "platform/qt/DesktopInhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace platform {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortalInhibit = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString kPortalRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kGnomeService = QStringLiteral("org.gnome.SessionManager");
const QString kGnomePath = QStringLiteral("/org/gnome/SessionManager");

// The same values for the portal and for GNOME.
constexpr uint32_t kInhibitLogout = 1;
constexpr uint32_t kInhibitSuspend = 4;

// Short enough that a desktop that does not answer does not hold up a flash.
constexpr int kTimeoutMs = 2000;

QDBusMessage Call(const QDBusMessage& call) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return {};
  return bus.call(call, QDBus::Block, kTimeoutMs);
}

bool Answered(const QDBusMessage& reply) {
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
}

}  // namespace

DesktopInhibitor::~DesktopInhibitor() { Release(); }

void DesktopInhibitor::SetWindow(const std::string& portalWindow, uint32_t xid) {
  portalWindow_ = portalWindow;
  xid_ = xid;
}

bool DesktopInhibitor::Acquire(const std::string& who, const std::string& why) {
  if (!portalRequest_.empty() || cookie_ != 0) return true;  // already held
  return AcquireFromPortal(why) || AcquireFromSessionManager(who, why);
}

bool DesktopInhibitor::AcquireFromPortal(const std::string& why) {
  QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kPortalInhibit,
                                                     QStringLiteral("Inhibit"));
  QVariantMap options;
  options.insert(QStringLiteral("reason"), QString::fromStdString(why));
  call << QString::fromStdString(portalWindow_) << static_cast<uint>(kInhibitLogout | kInhibitSuspend) << options;
  const QDBusMessage reply = Call(call);
  if (!Answered(reply)) return false;
  // The lock lasts until its request object is closed (or this program leaves the bus).
  portalRequest_ = reply.arguments().constFirst().value<QDBusObjectPath>().path().toStdString();
  return !portalRequest_.empty();
}

bool DesktopInhibitor::AcquireFromSessionManager(const std::string& who, const std::string& why) {
  QDBusMessage call = QDBusMessage::createMethodCall(kGnomeService, kGnomePath, kGnomeService,
                                                     QStringLiteral("Inhibit"));
  call << QString::fromStdString(who) << static_cast<uint>(xid_) << QString::fromStdString(why)
       << static_cast<uint>(kInhibitLogout | kInhibitSuspend);
  const QDBusMessage reply = Call(call);
  if (!Answered(reply)) return false;
  cookie_ = reply.arguments().constFirst().toUInt();
  return cookie_ != 0;
}

void DesktopInhibitor::Release() {
  if (!portalRequest_.empty()) {
    Call(QDBusMessage::createMethodCall(kPortalService, QString::fromStdString(portalRequest_), kPortalRequest,
                                        QStringLiteral("Close")));
    portalRequest_.clear();
  }
  if (cookie_ != 0) {
    QDBusMessage call = QDBusMessage::createMethodCall(kGnomeService, kGnomePath, kGnomeService,
                                                       QStringLiteral("Uninhibit"));
    call << static_cast<uint>(cookie_);
    Call(call);
    cookie_ = 0;
  }
}

bool SleepInhibitors::Acquire(const std::string& who, const std::string& why) {
  bool taken = false;
  for (SleepInhibitor* inhibitor : inhibitors_) taken = inhibitor->Acquire(who, why) || taken;
  return taken;
}

void SleepInhibitors::Release() {
  for (auto inhibitor = inhibitors_.rbegin(); inhibitor != inhibitors_.rend(); ++inhibitor) (*inhibitor)->Release();
}

}  // namespace platform
