#include "gui/device_views.h"

#include <QApplication>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QTimer>

#include <type_traits>

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

// Ctrl+C belongs to the window's Copy, which puts the fetched files on the
// clipboard. An item view would put the current row's text there instead
// whenever Copy is off (nothing selected), or over a file list Copy just put.
bool IsCopyKey(QKeyEvent* event) {
  if (!event->matches(QKeySequence::Copy)) return false;
  event->accept();
  return true;
}

}  // namespace

QStringList DroppedFiles(const QMimeData* mime) {
  QStringList files;
  if (mime == nullptr || !mime->hasFormat(QString::fromLatin1(kMimeUriList))) return files;
  const QByteArray raw = mime->data(QString::fromLatin1(kMimeUriList));
  for (const auto& p : ParseUriList(std::string_view(raw.constData(), static_cast<size_t>(raw.size()))))
    files << QFile::decodeName(QByteArray::fromStdString(p));
  return files;
}

// ---- the list ----

template <class View>
EntryView<View>::EntryView(const ViewHooks& hooks, QWidget* parent) : View(parent), m_hooks(hooks) {
  SetUpList(this);
  if constexpr (std::is_same_v<View, QTreeView>) {
    this->setRootIsDecorated(false);
    this->setItemsExpandable(false);
    this->setUniformRowHeights(true);
    this->setAllColumnsShowFocus(true);
  } else {
    this->setMovement(QListView::Static);
  }
}

template <class View>
void EntryView<View>::startDrag(Qt::DropActions) {
  // The drag fetches first, under the transfer dialog, and then runs its own
  // drag: neither hands the button's release back to the view.
  DropPress();
  if (m_hooks.dragOut) m_hooks.dragOut();
}

template <class View>
void EntryView<View>::DropPress() {
  m_pressDropped = true;
  this->stopAutoScroll();
  this->setState(QAbstractItemView::NoState);
}

template <class View>
void EntryView<View>::reset() {
  View::reset();
  if (m_pressed) DropPress();
}

template <class View>
void EntryView<View>::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    // A new press: whatever an earlier one left behind (its release went
    // elsewhere) does not carry over into it.
    m_pressed = true;
    m_pressDropped = false;
    const auto state = this->state();
    if (state == QAbstractItemView::DragSelectingState || state == QAbstractItemView::DraggingState) {
      this->stopAutoScroll();
      this->setState(QAbstractItemView::NoState);
    }
  }
  View::mousePressEvent(event);
}

template <class View>
void EntryView<View>::mouseMoveEvent(QMouseEvent* event) {
  if (m_pressDropped) {
    if (!(event->buttons() & Qt::LeftButton)) {
      m_pressDropped = false;
      m_pressed = false;
    }
    event->accept();
    return;
  }
  View::mouseMoveEvent(event);
}

template <class View>
void EntryView<View>::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    m_pressed = false;
    if (m_pressDropped) {
      m_pressDropped = false;
      this->setState(QAbstractItemView::NoState);
      event->accept();
      return;
    }
  }
  View::mouseReleaseEvent(event);
}

template <class View>
void EntryView<View>::dragEnterEvent(QDragEnterEvent* event) {
  Answer(event, TakesDrag(event, this));
}

template <class View>
void EntryView<View>::dragMoveEvent(QDragMoveEvent* event) {
  View::dragMoveEvent(event);  // scrolls near the edges
  Answer(event, TakesDrag(event, this));
}

template <class View>
void EntryView<View>::dropEvent(QDropEvent* event) {
  this->stopAutoScroll();
  this->setState(QAbstractItemView::NoState);
  Drop(event, this, m_hooks, {});
}

template <class View>
void EntryView<View>::mouseDoubleClickEvent(QMouseEvent* event) {
  // A double click opens the entry; it does not edit the caption.
  const QModelIndex index = this->indexAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && index.isValid() && m_hooks.open) {
    m_hooks.open(index);
    return;
  }
  View::mouseDoubleClickEvent(event);
}

template <class View>
void EntryView<View>::keyPressEvent(QKeyEvent* event) {
  if (IsCopyKey(event) || HandleKey(m_hooks, event)) return;
  View::keyPressEvent(event);
}

template class EntryView<QTreeView>;
template class EntryView<QListView>;

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

void FolderTreeView::keyPressEvent(QKeyEvent* event) {
  if (!IsCopyKey(event)) QTreeWidget::keyPressEvent(event);
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
