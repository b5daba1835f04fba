#include "gui/window_geometry_store.h"

#include <QFont>
#include <QFontInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QWidget>

#include <algorithm>
#include <memory>

namespace corvane {
namespace {

std::unique_ptr<QSettings> Open(const QString& mainKey) {
  const qsizetype slash = mainKey.indexOf(QLatin1Char('\\'));
  const QString organisation = slash < 0 ? mainKey : mainKey.left(slash);
  const QString application = slash < 0 ? QString() : mainKey.mid(slash + 1);
  return std::make_unique<QSettings>(organisation, application);
}

int ReadInt(QSettings& s, const QString& name, int fallback) {
  const QVariant v = s.value(name);
  if (!v.isValid()) return fallback;
  bool ok = false;
  const int value = v.toString().trimmed().toInt(&ok);
  return ok ? value : fallback;
}

void WriteInt(QSettings& s, const QString& name, int value) { s.setValue(name, QString::number(value)); }

// Walks the owner's controls in child order, depth first.
template <class F>
void ForEachControl(QWidget* parent, const F& f) {
  for (QObject* child : parent->children()) {
    auto* w = qobject_cast<QWidget*>(child);
    if (w == nullptr || w->isWindow()) continue;
    f(w);
    ForEachControl(w, f);
  }
}

// The screen a window at `wanted` opens on: the one holding most of it, the
// primary one when none holds any.
QScreen* ScreenFor(const QRect& wanted) {
  QScreen* best = QGuiApplication::primaryScreen();
  qint64 bestArea = 0;
  for (QScreen* screen : QGuiApplication::screens()) {
    const QRect common = screen->availableGeometry().intersected(wanted);
    const qint64 area = common.isEmpty() ? 0 : qint64(common.width()) * common.height();
    if (area > bestArea) {
      best = screen;
      bestArea = area;
    }
  }
  return best;
}

// Fits a top-level window of client size `size` whose frame starts at `framePos`
// into `area`: no larger than it (frame included when the frame is known), and
// placed so that the frame's top edge, where the title bar is, lies inside it.
void FitInto(const QRect& area, QSize frameExtra, QPoint& framePos, QSize& size) {
  if (area.isEmpty()) return;
  size.setWidth(std::max(1, std::min(size.width(), area.width() - frameExtra.width())));
  size.setHeight(std::max(1, std::min(size.height(), area.height() - frameExtra.height())));
  const int frameWidth = size.width() + frameExtra.width();
  const int frameHeight = size.height() + frameExtra.height();
  framePos.setX(std::clamp(framePos.x(), area.left(), std::max(area.left(), area.left() + area.width() - frameWidth)));
  framePos.setY(std::clamp(framePos.y(), area.top(), std::max(area.top(), area.top() + area.height() - frameHeight)));
}

void RestoreBounds(QSettings& s, QWidget* w, const QString& prefix, bool topLevel, bool positions) {
  const QRect g = w->geometry();
  const QPoint framePos = topLevel ? w->pos() : g.topLeft();
  int width = ReadInt(s, prefix + QStringLiteral("Width"), g.width());
  int height = ReadInt(s, prefix + QStringLiteral("Height"), g.height());
  int top = positions ? ReadInt(s, prefix + QStringLiteral("Top"), framePos.y()) : framePos.y();
  int left = positions ? ReadInt(s, prefix + QStringLiteral("Left"), framePos.x()) : framePos.x();
  // A size of nothing would make the window vanish: keep the designed one.
  if (width <= 0) width = g.width();
  if (height <= 0) height = g.height();
  // Values no desktop has (a damaged file) must not overflow the sums below.
  constexpr int kFarthest = 1 << 20;
  width = std::min(width, kFarthest);
  height = std::min(height, kFarthest);
  left = std::clamp(left, -kFarthest, kFarthest);
  top = std::clamp(top, -kFarthest, kFarthest);
  if (topLevel) {
    // A window saved on a screen that is gone comes back on the primary one.
    const QRect wanted(left, top, width, height);
    bool onScreen = QGuiApplication::screens().isEmpty();
    for (QScreen* screen : QGuiApplication::screens())
      if (screen->availableGeometry().intersects(wanted)) onScreen = true;
    if (!onScreen) {
      left = framePos.x();
      top = framePos.y();
    }
    // A size saved on a larger screen, or at a smaller scale factor, is
    // shrunk to the screen it opens on, with the title bar kept reachable.
    QPoint pos(left, top);
    QSize size(width, height);
    if (QScreen* screen = ScreenFor(QRect(pos, size))) {
      const QRect frame = w->frameGeometry();
      const QSize extra(std::max(0, frame.width() - g.width()), std::max(0, frame.height() - g.height()));
      FitInto(screen->availableGeometry(), extra, pos, size);
    }
    if (positions) w->move(pos);
    w->resize(size);
  } else {
    w->setGeometry(left, top, width, height);
  }
  const bool visible = ReadInt(s, prefix + QStringLiteral("Visible"), w->isVisible() ? 1 : 0) != 0;
  if (!topLevel) w->setVisible(visible);
  // The window itself is shown by the program once it is built; a saved "0"
  // must not leave the program running without a window.
}

void SaveBounds(QSettings& s, QWidget* w, const QString& prefix, bool topLevel, bool positions) {
  // Without placement (Wayland) the window's position reads as 0,0 whatever
  // it is: the values a desktop that places windows saved are kept instead.
  if (positions || !topLevel) {
    const QPoint p = topLevel ? w->pos() : w->geometry().topLeft();
    WriteInt(s, prefix + QStringLiteral("Top"), p.y());
    WriteInt(s, prefix + QStringLiteral("Left"), p.x());
  }
  WriteInt(s, prefix + QStringLiteral("Width"), w->width());
  WriteInt(s, prefix + QStringLiteral("Height"), w->height());
  s.setValue(prefix + QStringLiteral("Visible"), w->isVisible() ? QStringLiteral("1") : QStringLiteral("0"));
}

// The font height as the settings keep it: the character height in pixels, negative.
int FontHeight(const QFont& f) { return -QFontInfo(f).pixelSize(); }

}  // namespace

WindowGeometryStore::WindowGeometryStore(QWidget* owner)
    : PlatformName(QGuiApplication::platformName()), m_owner(owner) {}

bool WindowGeometryStore::PlacesWindows() const {
  return !PlatformName.startsWith(QLatin1String("wayland"), Qt::CaseInsensitive);
}

bool WindowGeometryStore::Usable() const { return m_owner != nullptr && m_owner->isWindow(); }

QString WindowGeometryStore::Group() const {
  return m_owner->objectName().isEmpty() ? QString::fromLatin1(m_owner->metaObject()->className())
                                         : m_owner->objectName();
}

void WindowGeometryStore::RestorePositions(bool components, bool form) {
  if (!Usable()) return;
  auto s = Open(MainKey);
  s->beginGroup(Group());
  if (form) {
    RestoreBounds(*s, m_owner, QString(), true, PlacesWindows());
    QFont font = m_owner->font();
    const QString family = s->value(QStringLiteral("Font"), font.family()).toString();
    if (!family.trimmed().isEmpty()) font.setFamily(family);
    const int height = ReadInt(*s, QStringLiteral("FontSize"), FontHeight(m_owner->font()));
    if (height < 0)
      font.setPixelSize(-height);
    else if (height > 0)
      font.setPointSize(height);
    m_owner->setFont(font);
  }
  if (components) {
    ForEachControl(m_owner, [&](QWidget* w) {
      if (!w->objectName().isEmpty() && ImportantComponents.contains(w->objectName()))
        RestoreBounds(*s, w, w->objectName(), false, true);
    });
  }
  s->endGroup();
}

void WindowGeometryStore::SavePositions() {
  if (!Usable()) return;
  auto s = Open(MainKey);
  s->beginGroup(Group());
  SaveBounds(*s, m_owner, QString(), true, PlacesWindows());
  s->setValue(QStringLiteral("Font"), m_owner->font().family());
  WriteInt(*s, QStringLiteral("FontSize"), FontHeight(m_owner->font()));
  ForEachControl(m_owner, [&](QWidget* w) {
    if (!w->objectName().isEmpty() && ImportantComponents.contains(w->objectName()))
      SaveBounds(*s, w, w->objectName(), false, true);
  });
  s->endGroup();
  s->sync();
}

}  // namespace corvane
