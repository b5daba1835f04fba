#pragma once
// The views of the main window that take part in drag and drop: the list of
// the folder shown (as details or as icons) and the folder tree. They own
// their drags and drops and hand the outcome to the window through hooks.
#include <QListView>
#include <QStringList>
#include <QTreeView>
#include <QTreeWidget>

#include <functional>

#include "link/bytes.h"

class QMimeData;

namespace corvane {

// What a view asks of the window.
struct ViewHooks {
  // The user started dragging the selection out of the list.
  std::function<void()> dragOut;
  // Local files were dropped: into the folder shown (folder empty) or into `folder`.
  std::function<void(const QStringList& paths, const Bytes& folder)> dropFiles;
  // An entry was double-clicked.
  std::function<void(const QModelIndex& index)> open;
  // A key the window handles (Delete, Ctrl+M, Ctrl+K); true when it did.
  std::function<bool(QKeyEvent* event)> key;
};

// The local files a drag offers as a uri list; empty when it offers none.
QStringList DroppedFiles(const QMimeData* mime);

// The list of the folder shown: View is QTreeView (details: name and size
// columns) or QListView (icons, small icons, a plain list).
template <class View>
class EntryView : public View {
 public:
  EntryView(const ViewHooks& hooks, QWidget* parent = nullptr);

  // The model was reset (a folder listed again): a press held across it
  // points at rows that are gone, so the rest of it is ignored.
  void reset() override;

 protected:
  void startDrag(Qt::DropActions supportedActions) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void DropPress();

  const ViewHooks& m_hooks;
  // The left button went down on the view and has not come up on it.
  bool m_pressed = false;
  // The press in progress is no longer the view's: it started a drag (the
  // fetch's dialog and the drag take its release) or outlived the rows it
  // was on. Its moves and release are ignored; the next press is new.
  bool m_pressDropped = false;
};

using EntryDetailsView = EntryView<QTreeView>;
using EntryIconView = EntryView<QListView>;

// The device's folders. Each node keeps its folder's device path; files
// dropped on a node go into that folder.
class FolderTreeView : public QTreeWidget {
  Q_OBJECT

 public:
  static constexpr int kPathRole = Qt::UserRole + 1;

  FolderTreeView(const ViewHooks& hooks, QWidget* parent = nullptr);
  static Bytes PathOf(const QTreeWidgetItem* node);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  const ViewHooks& m_hooks;
};

}  // namespace corvane
