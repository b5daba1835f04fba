#include "gui/entry_list_model.h"

#include "gui/image_list.h"

namespace corvane {

QString DeviceText(const Bytes& name) {
  return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

bool ToDeviceName(const QString& text, Bytes& out) {
  out.clear();
  for (QChar c : text) {
    if (c.unicode() > 0xFF) return false;
    out += static_cast<char>(c.unicode());
  }
  return true;
}

EntryListModel::EntryListModel(QObject* parent) : QAbstractTableModel(parent) {}

void EntryListModel::SetEntries(std::vector<ListingEntry> entries) {
  beginResetModel();
  m_entries = std::move(entries);
  endResetModel();
}

void EntryListModel::SetName(int row, const Bytes& name) {
  if (row < 0 || row >= rowCount()) return;
  m_entries[static_cast<size_t>(row)].name = name;
  emit dataChanged(index(row, kNameColumn), index(row, kNameColumn));
}

int EntryListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int EntryListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 2; }

QVariant EntryListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const ListingEntry& e = m_entries[static_cast<size_t>(index.row())];
  if (role == kDeviceNameRole) return QByteArray(e.name.data(), static_cast<qsizetype>(e.name.size()));
  if (index.column() == kNameColumn) {
    if (role == Qt::DisplayRole || role == Qt::EditRole) return DeviceText(e.name);
    if (role == Qt::DecorationRole) return ImageListIcon(e.kind);
  } else if (role == Qt::DisplayRole) {
    return QString::number(e.size);
  }
  return {};
}

QVariant EntryListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section == kNameColumn ? QStringLiteral("Files") : QStringLiteral("Size");
}

Qt::ItemFlags EntryListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
  if (index.column() == kNameColumn) f |= Qt::ItemIsEditable;
  return f;
}

bool EntryListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || index.column() != kNameColumn) return false;
  const QString text = value.toString();
  if (text == DeviceText(Entry(index.row()).name)) return false;
  emit renameRequested(index.row(), text);
  return false;
}

}  // namespace corvane
