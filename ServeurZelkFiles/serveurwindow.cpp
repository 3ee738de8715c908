#include "serveurwindow.h"

#include "cli.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>
#include <array>

namespace zelk {
namespace {

constexpr int kRefreshMs = 100;
constexpr int kColumns = 6;

const std::array<QString, kColumns>& headings() {
    static const std::array<QString, kColumns> texts = {
        QStringLiteral("Origine"),        QStringLiteral("Adresse"),
        QStringLiteral("Port"),           QStringLiteral("Fichier en cours"),
        QStringLiteral("Position reçue"), QStringLiteral("Total à recevoir")};
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
    default:
        return row.total;
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

QVariant TransferTableModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= table_.count()) {
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
    view_->setModel(&model_);
    view_->verticalHeader()->hide();
    view_->setSelectionMode(QAbstractItemView::NoSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
    view_->setColumnWidth(0, 90);
    view_->setColumnWidth(1, 110);
    view_->setColumnWidth(2, 60);

    auto* ports = new QHBoxLayout;
    ports->addWidget(new QLabel(engine.udpLabel(), this));
    ports->addSpacing(24);
    ports->addWidget(new QLabel(engine.tcpLabel(), this));
    ports->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_, 1);
    layout->addLayout(ports);
    resize(680, 220);

    refresh_.setSingleShot(true);
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, &model_, &TransferTableModel::refresh);
    connect(&engine, &ServeurEngine::tableChanged, this, &ServeurWindow::scheduleRefresh);
}

void ServeurWindow::scheduleRefresh() {
    if (!refresh_.isActive()) {
        refresh_.start();
    }
}

} // namespace zelk
