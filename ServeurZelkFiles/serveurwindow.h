#pragma once

#include "serveurengine.h"
#include "watch.h"

#include <QAbstractTableModel>
#include <QLabel>
#include <QTableView>
#include <QTimer>
#include <QWidget>

namespace zelk {

// A row without a frame for this long is shown as idle.
inline constexpr std::int64_t kIdleRowMs = 60000;
bool rowIdle(const TransferRow& row, std::int64_t nowMs);
// "5300000" as "5 300 000" (narrow no-break spaces): every digit kept, easier to read. Text that
// is not all digits shows as it is.
QString groupedDigits(const std::string& digits);
// The share of the file received, "42,5 %"; empty when the total is not a positive number.
QString receivedShare(const TransferRow& row);
// The origins that send several files at once, each with its count and their rate together:
// "poste7 : 3 fichiers en cours, 1.25 MB/s"; empty when every origin sends one.
QString severalFilesLine(const TransferTable& table);

// The transfer table as its six columns and four more (share received, rate, last frame,
// protocol), read straight from the engine's table.
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
    // The table of the server that `link` watches (--watch), with a line about the link.
    explicit ServeurWindow(WatchLink& link, QWidget* parent = nullptr);

private:
    ServeurWindow(const TransferTable& table, const QString& udp, const QString& tcp,
                  QWidget* parent);
    void scheduleRefresh();
    void fitColumns();
    void showWatched(const WatchLink& link);
    void refresh();

    TransferTable watched_; // the watched server's rows; unused otherwise
    const TransferTable& table_;
    TransferTableModel model_;
    QTableView* view_;
    QLabel* udp_;
    QLabel* tcp_;
    QLabel* watchLine_ = nullptr;
    QLabel* severalLine_;
    QTimer refresh_;
    QTimer idleBeat_;
};

} // namespace zelk
