#pragma once
// The entries of the folder shown, as the list shows them: name (the
// device's 8-bit text, shown as Latin-1) with its kind's icon, and the size
// in bytes. A value model: rows are copies of the listing, nothing points
// into the session.
#include <QAbstractTableModel>

#include <vector>

#include "link/bytes.h"
#include "protocol/listing.h"

namespace corvane {

class EntryListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kNameColumn = 0, kSizeColumn = 1 };
  // The entry's name as the device sent it (QByteArray), in every column.
  static constexpr int kDeviceNameRole = Qt::UserRole + 1;

  explicit EntryListModel(QObject* parent = nullptr);

  void SetEntries(std::vector<ListingEntry> entries);
  void Clear() { SetEntries({}); }
  const ListingEntry& Entry(int row) const { return m_entries.at(static_cast<size_t>(row)); }
  const std::vector<ListingEntry>& Entries() const { return m_entries; }
  // Takes a new name for the entry at `row` (after the device took it).
  void SetName(int row, const Bytes& name);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // An edited caption is not taken here: the list keeps the old name and
  // asks for the rename, which the device must carry out first.
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

 signals:
  void renameRequested(int row, const QString& newName);

 private:
  std::vector<ListingEntry> m_entries;
};

// The device's 8-bit text as the user reads it (Latin-1).
QString DeviceText(const Bytes& name);
// A name typed by the user as the device's 8-bit text; false when it holds a
// character that 8 bits cannot carry.
bool ToDeviceName(const QString& text, Bytes& out);

}  // namespace corvane
