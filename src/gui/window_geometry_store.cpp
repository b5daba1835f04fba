#include "gui/window_geometry_store.h"

#include <QFont>
#include <QFontInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QWidget>

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

void RestoreBounds(QSettings& s, QWidget* w, const QString& prefix, bool topLevel) {
  const QRect g = w->geometry();
  const QPoint framePos = topLevel ? w->pos() : g.topLeft();
  int width = ReadInt(s, prefix + QStringLiteral("Width"), g.width());
  int height = ReadInt(s, prefix + QStringLiteral("Height"), g.height());
  int top = ReadInt(s, prefix + QStringLiteral("Top"), framePos.y());
  int left = ReadInt(s, prefix + QStringLiteral("Left"), framePos.x());
  // A size of nothing would make the window vanish: keep the designed one.
  if (width <= 0) width = g.width();
  if (height <= 0) height = g.height();
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
    w->move(left, top);
    w->resize(width, height);
  } else {
    w->setGeometry(left, top, width, height);
  }
  const bool visible = ReadInt(s, prefix + QStringLiteral("Visible"), w->isVisible() ? 1 : 0) != 0;
  if (!topLevel) w->setVisible(visible);
  // The window itself is shown by the program once it is built; a saved "0"
  // must not leave the program running without a window.
}

void SaveBounds(QSettings& s, QWidget* w, const QString& prefix, bool topLevel) {
  const QPoint p = topLevel ? w->pos() : w->geometry().topLeft();
  WriteInt(s, prefix + QStringLiteral("Top"), p.y());
  WriteInt(s, prefix + QStringLiteral("Left"), p.x());
  WriteInt(s, prefix + QStringLiteral("Width"), w->width());
  WriteInt(s, prefix + QStringLiteral("Height"), w->height());
  s.setValue(prefix + QStringLiteral("Visible"), w->isVisible() ? QStringLiteral("1") : QStringLiteral("0"));
}

// The font height as the settings keep it: the character height in pixels, negative.
int FontHeight(const QFont& f) { return -QFontInfo(f).pixelSize(); }

}  // namespace

WindowGeometryStore::WindowGeometryStore(QWidget* owner) : m_owner(owner) {}

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
    RestoreBounds(*s, m_owner, QString(), true);
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
        RestoreBounds(*s, w, w->objectName(), false);
    });
  }
  s->endGroup();
}

void WindowGeometryStore::SavePositions() {
  if (!Usable()) return;
  auto s = Open(MainKey);
  s->beginGroup(Group());
  SaveBounds(*s, m_owner, QString(), true);
  s->setValue(QStringLiteral("Font"), m_owner->font().family());
  WriteInt(*s, QStringLiteral("FontSize"), FontHeight(m_owner->font()));
  ForEachControl(m_owner, [&](QWidget* w) {
    if (!w->objectName().isEmpty() && ImportantComponents.contains(w->objectName()))
      SaveBounds(*s, w, w->objectName(), false);
  });
  s->endGroup();
  s->sync();
}

}  // namespace corvane
