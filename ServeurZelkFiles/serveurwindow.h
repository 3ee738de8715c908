#pragma once

#include "serveurengine.h"

#include <QAbstractTableModel>
#include <QLabel>
#include <QTableView>
#include <QTimer>
#include <QWidget>

namespace zelk {

// The transfer table as six columns, read straight from the engine's table.
class TransferTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TransferTableModel(const TransferTable& table, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void refresh();

private:
    const TransferTable& table_;
};

// The server's window: it only shows. Changes of the table are gathered and shown at most every
// 100 ms, so a transfer at full speed does not repaint once per datagram.
class ServeurWindow : public QWidget {
    Q_OBJECT
public:
    explicit ServeurWindow(ServeurEngine& engine, QWidget* parent = nullptr);

private:
    void scheduleRefresh();
    void fitColumns();

    TransferTableModel model_;
    QTableView* view_;
    QTimer refresh_;
};

} // namespace zelk
