#include "serveurwindow.h"

#include "cli.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

namespace zelk {
namespace {

constexpr int kRefreshMs = 100;
constexpr int kColumns = 8;
constexpr int kFileColumn = 3;

const std::array<QString, kColumns>& headings() {
    static const std::array<QString, kColumns> texts = {
        QStringLiteral("Origine"),        QStringLiteral("Adresse"),
        QStringLiteral("Port"),           QStringLiteral("Fichier en cours"),
        QStringLiteral("Position reçue"), QStringLiteral("Total à recevoir"),
        QStringLiteral("Protocole"),      QStringLiteral("Débit")};
    return texts;
}

const std::string& cell(const TransferRow& row, int column) {
    switch (column) {
    case 0:
        return row.origin;
    case 1:
        return row.address;
    case 2:
        return row.port;
    case 3:
        return row.file;
    case 4:
        return row.position;
    case 5:
        return row.total;
    case 6: {
        static const std::string extended = "ZX1";
        static const std::string resumed = "ZX1 repris";
        static const std::string plain = "simple";
        if (row.transfer == 0) {
            return plain;
        }
        return row.resumed ? resumed : extended;
    }
    default:
        return row.rate;
    }
}

// What each column must show whole: 10-character origins of common letters, dotted IPv4
// addresses, 5-digit ports, a file name of a fair length and 10-digit positions. Anything wider
// shows whole in its tooltip.
QString widestValue(int column) {
    switch (column) {
    case 0:
        return QStringLiteral("0000000000");
    case 1:
        return QStringLiteral("255.255.255.255");
    case 2:
        return QStringLiteral("65535");
    case kFileColumn:
        return QStringLiteral("rapport-mensuel-2024.pdf");
    case 6:
        return QStringLiteral("ZX1 repris");
    case 7:
        return QStringLiteral("999 MB/s");
    default:
        return QStringLiteral("2147483647");
    }
}

} // namespace

TransferTableModel::TransferTableModel(const TransferTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table) {}

int TransferTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : table_.count();
}

int TransferTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

// A cut value shows whole in its tooltip.
QVariant TransferTableModel::data(const QModelIndex& index, int role) const {
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || !index.isValid() ||
        index.row() >= table_.count()) {
        return {};
    }
    return displayText(cell(table_.at(index.row()), index.column()));
}

QVariant TransferTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= kColumns) {
        return {};
    }
    return headings()[static_cast<std::size_t>(section)];
}

void TransferTableModel::refresh() {
    beginResetModel();
    endResetModel();
}

ServeurWindow::ServeurWindow(ServeurEngine& engine, QWidget* parent)
    : QWidget(parent), model_(engine.table()), view_(new QTableView(this)) {
    setWindowTitle(caption(Program::Server));
    view_->setObjectName(QStringLiteral("tabTransferts"));
    view_->setModel(&model_);
    view_->verticalHeader()->hide();
    view_->setSelectionMode(QAbstractItemView::NoSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setWordWrap(false);
    view_->setTextElideMode(Qt::ElideMiddle);
    fitColumns();

    auto* udp = new QLabel(engine.udpLabel(), this);
    udp->setObjectName(QStringLiteral("Label7"));
    auto* tcp = new QLabel(engine.tcpLabel(), this);
    tcp->setObjectName(QStringLiteral("Label8"));
    auto* ports = new QHBoxLayout;
    ports->addWidget(udp);
    ports->addSpacing(24);
    ports->addWidget(tcp);
    ports->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_, 1);
    layout->addLayout(ports);
    resize(sizeHint().expandedTo(QSize(view_->horizontalHeader()->length() + 40, 240)));

    refresh_.setSingleShot(true);
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, &model_, &TransferTableModel::refresh);
    connect(&engine, &ServeurEngine::tableChanged, this, &ServeurWindow::scheduleRefresh);
}

// Every column but the file name is as wide as its heading or its widest possible value, so a
// full address, port or position never shows cut; the file name takes what the window has left.
void ServeurWindow::fitColumns() {
    QHeaderView* header = view_->horizontalHeader();
    const QFontMetrics text(view_->font());
    const QFontMetrics heading(header->font());
    const int padding = 2 * text.horizontalAdvance(QLatin1Char('M'));
    for (int column = 0; column < kColumns; ++column) {
        const int wanted =
            std::max(heading.horizontalAdvance(headings()[static_cast<std::size_t>(column)]),
                     text.horizontalAdvance(widestValue(column)));
        view_->setColumnWidth(column, wanted + padding);
    }
    header->setMinimumSectionSize(text.horizontalAdvance(QStringLiteral("MMMM")));
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(kFileColumn, QHeaderView::Stretch);
}

void ServeurWindow::scheduleRefresh() {
    if (!refresh_.isActive()) {
        refresh_.start();
    }
}

} // namespace zelk
