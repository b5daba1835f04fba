#include "gui/device_views.h"

#include <QApplication>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QTimer>

#include "desktop/file_lists.h"
#include "gui/file_list_mime.h"

namespace corvane {
namespace {

// A drag the list takes: local files offered for copying, from another
// program (its own files are not dropped back onto itself).
bool TakesDrag(const QDropEvent* event, const QWidget* self) {
  if (!self->isEnabled()) return false;
  const auto* source = qobject_cast<const QWidget*>(event->source());
  if (source != nullptr && source->window() == self->window()) return false;
  if (!(event->possibleActions() & Qt::CopyAction)) return false;
  return !DroppedFiles(event->mimeData()).isEmpty();
}

void Answer(QDropEvent* event, bool take) {
  if (take) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

// Drops are let go first; the copy to the device follows from the event loop,
// so that the source is not held while the files go out.
void Drop(QDropEvent* event, const QWidget* self, const ViewHooks& hooks, const Bytes& folder) {
  if (!TakesDrag(event, self)) {
    event->ignore();
    return;
  }
  const QStringList paths = DroppedFiles(event->mimeData());
  Answer(event, true);
  if (hooks.dropFiles)
    QTimer::singleShot(0, const_cast<QWidget*>(self), [&hooks, paths, folder] { hooks.dropFiles(paths, folder); });
}

template <class View>
void SetUpList(View* view) {
  view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  view->setDragEnabled(true);
  view->setAcceptDrops(true);
  view->setDropIndicatorShown(false);
  view->setDragDropMode(QAbstractItemView::DragDrop);
  view->setAutoScroll(true);
  // The list scrolls while a drag rests within a line's height of its edge.
  view->setAutoScrollMargin(view->fontMetrics().height());
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  view->setIconSize(QSize(16, 16));
}

bool HandleKey(const ViewHooks& hooks, QKeyEvent* event) { return hooks.key && hooks.key(event); }

}  // namespace

QStringList DroppedFiles(const QMimeData* mime) {
  QStringList files;
  if (mime == nullptr || !mime->hasFormat(QString::fromLatin1(kMimeUriList))) return files;
  const QByteArray raw = mime->data(QString::fromLatin1(kMimeUriList));
  for (const auto& p : ParseUriList(std::string_view(raw.constData(), static_cast<size_t>(raw.size()))))
    files << QFile::decodeName(QByteArray::fromStdString(p));
  return files;
}

// ---- details ----

EntryDetailsView::EntryDetailsView(const ViewHooks& hooks, QWidget* parent) : QTreeView(parent), m_hooks(hooks) {
  SetUpList(this);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
}

void EntryDetailsView::startDrag(Qt::DropActions) {
  if (m_hooks.dragOut) m_hooks.dragOut();
}

void EntryDetailsView::dragEnterEvent(QDragEnterEvent* event) { Answer(event, TakesDrag(event, this)); }

void EntryDetailsView::dragMoveEvent(QDragMoveEvent* event) {
  QTreeView::dragMoveEvent(event);  // scrolls near the edges
  Answer(event, TakesDrag(event, this));
}

void EntryDetailsView::dropEvent(QDropEvent* event) {
  stopAutoScroll();
  setState(NoState);
  Drop(event, this, m_hooks, {});
}

void EntryDetailsView::mouseDoubleClickEvent(QMouseEvent* event) {
  // A double click opens the entry; it does not edit the caption.
  const QModelIndex index = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && index.isValid() && m_hooks.open) {
    m_hooks.open(index);
    return;
  }
  QTreeView::mouseDoubleClickEvent(event);
}

void EntryDetailsView::keyPressEvent(QKeyEvent* event) {
  if (!HandleKey(m_hooks, event)) QTreeView::keyPressEvent(event);
}

// ---- icons ----

EntryIconView::EntryIconView(const ViewHooks& hooks, QWidget* parent) : QListView(parent), m_hooks(hooks) {
  SetUpList(this);
  setMovement(QListView::Static);
}

void EntryIconView::startDrag(Qt::DropActions) {
  if (m_hooks.dragOut) m_hooks.dragOut();
}

void EntryIconView::dragEnterEvent(QDragEnterEvent* event) { Answer(event, TakesDrag(event, this)); }

void EntryIconView::dragMoveEvent(QDragMoveEvent* event) {
  QListView::dragMoveEvent(event);
  Answer(event, TakesDrag(event, this));
}

void EntryIconView::dropEvent(QDropEvent* event) {
  stopAutoScroll();
  setState(NoState);
  Drop(event, this, m_hooks, {});
}

void EntryIconView::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && index.isValid() && m_hooks.open) {
    m_hooks.open(index);
    return;
  }
  QListView::mouseDoubleClickEvent(event);
}

void EntryIconView::keyPressEvent(QKeyEvent* event) {
  if (!HandleKey(m_hooks, event)) QListView::keyPressEvent(event);
}

// ---- folder tree ----

FolderTreeView::FolderTreeView(const ViewHooks& hooks, QWidget* parent) : QTreeWidget(parent), m_hooks(hooks) {
  setHeaderHidden(true);
  setIndentation(19);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setIconSize(QSize(16, 16));
  setAcceptDrops(true);
  setDropIndicatorShown(false);
  setDragDropMode(QAbstractItemView::DropOnly);
  setAutoScroll(true);
  setAutoScrollMargin(fontMetrics().height());
}

Bytes FolderTreeView::PathOf(const QTreeWidgetItem* node) {
  if (node == nullptr) return {};
  const QByteArray path = node->data(0, kPathRole).toByteArray();
  return Bytes(path.constData(), static_cast<size_t>(path.size()));
}

void FolderTreeView::dragEnterEvent(QDragEnterEvent* event) { Answer(event, TakesDrag(event, this)); }

void FolderTreeView::dragMoveEvent(QDragMoveEvent* event) {
  QTreeWidget::dragMoveEvent(event);
  Answer(event, TakesDrag(event, this) && itemAt(event->position().toPoint()) != nullptr);
}

void FolderTreeView::dropEvent(QDropEvent* event) {
  stopAutoScroll();
  setState(NoState);
  const QTreeWidgetItem* node = itemAt(event->position().toPoint());
  if (node == nullptr) {
    event->ignore();
    return;
  }
  Drop(event, this, m_hooks, PathOf(node));
}

}  // namespace corvane
