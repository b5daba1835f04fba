#include "gui/message_box.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QStringDecoder>

namespace corvane {
namespace {
QString& Title() {
  static QString title = QStringLiteral("Corvane Quillon Connectivity Kit");
  return title;
}
MessageBoxHook& Hook() {
  static MessageBoxHook hook;
  return hook;
}
}  // namespace

QString MessageText(const std::string& text) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString s = utf8.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (utf8.hasError()) s = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return s;
}

QString ErrorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
  return message;
}

void SetApplicationTitle(const QString& title) { Title() = title; }
QString ApplicationTitle() { return Title(); }

void SetMessageBoxHook(MessageBoxHook hook) { Hook() = std::move(hook); }

bool MessageBoxHooked() { return static_cast<bool>(Hook()); }

bool ShowMessageBox(QWidget* parent, const QString& caption, const QString& text, MessageKind kind) {
  if (Hook()) return Hook()(kind, caption, text);
  QMessageBox::Icon icon = QMessageBox::Information;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  switch (kind) {
    case MessageKind::kInformation: icon = QMessageBox::Information; break;
    case MessageKind::kWarning: icon = QMessageBox::Warning; break;
    case MessageKind::kError: icon = QMessageBox::Critical; break;
    case MessageKind::kQuestion:
      icon = QMessageBox::Question;
      buttons = QMessageBox::Yes | QMessageBox::No;
      break;
  }
  QMessageBox box(icon, caption, text, buttons, parent);
  const int r = box.exec();
  return r == QMessageBox::Ok || r == QMessageBox::Yes;
}

void ShowErrorBox(QWidget* parent, const QString& message) {
  ShowMessageBox(parent, ApplicationTitle(), ErrorBoxText(message), MessageKind::kError);
}

}  // namespace corvane
