// The main window's views: the folder tree, the entry list in its styles,
// the status bar and the busy panel.
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include <algorithm>

#include "gui/device_views.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"

namespace corvane {

void MainWindow::BuildViews() {
  m_splitter = new QSplitter(Qt::Horizontal, this);
  m_splitter->setObjectName(QStringLiteral("Splitter1"));
  m_splitter->setHandleWidth(3);
  m_splitter->setOpaqueResize(true);
  m_splitter->setChildrenCollapsible(false);

  m_tree = new FolderTreeView(m_hooks, m_splitter);
  m_tree->setObjectName(QStringLiteral("TreeView1"));
  connect(m_tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
    if (!m_treeGuard) ShowFolder(current);
  });

  m_model = new EntryListModel(this);
  connect(m_model, &EntryListModel::renameRequested, this, [this](int row, const QString& name) {
    // After the editor has closed: the rename is a command of its own.
    QTimer::singleShot(0, this, [this, row, name] { RenameRow(row, name); });
  });
  m_selection = new QItemSelectionModel(m_model, this);
  connect(m_selection, &QItemSelectionModel::selectionChanged, this, [this] { UpdateSelectionState(); });
  BuildListViews();
  m_splitter->addWidget(m_tree);
  m_splitter->addWidget(m_listStack);
  m_splitter->setStretchFactor(1, 1);
  m_splitter->setSizes({153, 242});
  setCentralWidget(m_splitter);

  m_status = new QLabel(this);
  m_status->setObjectName(QStringLiteral("StatusBar2"));
  m_status->setMinimumWidth(100);
  statusBar()->addWidget(m_status, 1);
  statusBar()->setSizeGripEnabled(true);

  m_panel = new QLabel(QStringLiteral("Please wait while connecting"), this);
  m_panel->setObjectName(QStringLiteral("Panel1"));
  m_panel->setAlignment(Qt::AlignCenter);
  m_panel->setWordWrap(true);
  m_panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  m_panel->setLineWidth(2);
  m_panel->setAutoFillBackground(true);
  m_panel->resize(std::max(185, m_panel->fontMetrics().horizontalAdvance(m_panel->text()) + 24), 81);
  m_panel->hide();

  m_timer = new QTimer(this);
  m_timer->setObjectName(QStringLiteral("Timer1"));
  m_timer->setInterval(m_options.refreshDelayMs);
  connect(m_timer, &QTimer::timeout, this, &MainWindow::RefreshFolder);

  SetViewStyle(ViewStyle::kDetails);
}

void MainWindow::BuildListViews() {
  m_listStack = new QStackedWidget(m_splitter);
  m_listStack->setObjectName(QStringLiteral("ListView1"));
  m_details = new EntryDetailsView(m_hooks, m_listStack);
  m_details->setObjectName(QStringLiteral("ListView1Details"));
  m_icons = new EntryIconView(m_hooks, m_listStack);
  m_icons->setObjectName(QStringLiteral("ListView1Icons"));
  for (QAbstractItemView* v : {static_cast<QAbstractItemView*>(m_details), static_cast<QAbstractItemView*>(m_icons)}) {
    v->setModel(m_model);
    v->setSelectionModel(m_selection);
    connect(v, &QWidget::customContextMenuRequested, this,
            [this, v](const QPoint& p) { m_popup->popup(v->viewport()->mapToGlobal(p)); });
  }
  m_details->header()->setMinimumSectionSize(40);
  m_details->header()->setDefaultSectionSize(50);
  m_details->header()->resizeSection(0, 182);
  m_details->header()->resizeSection(1, 50);
  m_details->header()->setStretchLastSection(false);
  m_details->header()->setSectionResizeMode(1, QHeaderView::Stretch);
  m_listStack->addWidget(m_details);
  m_listStack->addWidget(m_icons);
}

void MainWindow::SetViewStyle(ViewStyle style) {
  m_style = style;
  switch (style) {
    case ViewStyle::kDetails:
      m_listStack->setCurrentWidget(m_details);
      break;
    case ViewStyle::kList:
      m_icons->setViewMode(QListView::ListMode);
      m_icons->setFlow(QListView::TopToBottom);
      m_icons->setWrapping(true);
      m_icons->setIconSize(QSize(16, 16));
      m_icons->setGridSize(QSize());
      m_listStack->setCurrentWidget(m_icons);
      break;
    case ViewStyle::kSmallIcons:
      m_icons->setViewMode(QListView::ListMode);
      m_icons->setFlow(QListView::LeftToRight);
      m_icons->setWrapping(true);
      m_icons->setIconSize(QSize(16, 16));
      m_icons->setGridSize(QSize());
      m_listStack->setCurrentWidget(m_icons);
      break;
    case ViewStyle::kLargeIcons:
      m_icons->setViewMode(QListView::IconMode);
      m_icons->setIconSize(QSize(32, 32));
      m_icons->setGridSize(QSize(76, 64));
      m_icons->setMovement(QListView::Static);
      m_listStack->setCurrentWidget(m_icons);
      break;
  }
  // Setting the view mode or the movement turns dragging off for a view
  // whose items do not move: this one's drags are the file copies.
  m_icons->setDragEnabled(true);
  m_icons->setSelectionModel(m_selection);
}

void MainWindow::UpdateViewMenu() {
  m_toolbarToggle->setChecked(m_toolbar->isVisible());
  m_statusToggle->setChecked(statusBar()->isVisible());
  m_large->setChecked(m_style == ViewStyle::kLargeIcons);
  m_small->setChecked(m_style == ViewStyle::kSmallIcons);
  m_listStyle->setChecked(m_style == ViewStyle::kList);
  m_detailsStyle->setChecked(m_style == ViewStyle::kDetails);
}

}  // namespace corvane
