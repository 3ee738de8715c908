#include "serveurwindow.h"

#include "cli.h"
#include "serveurstate.h"
#include "trace.h"

#include <QColor>
#include <QDateTime>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QStringList>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <charconv>

namespace zelk {
namespace {

constexpr int kRefreshMs = 100;
// Idleness and the time since the last frame change without any frame: a slow beat shows them.
constexpr int kIdleBeatMs = 5000;
constexpr int kColumns = 10;
constexpr int kFileColumn = 3;

const std::array<QString, kColumns>& headings() {
    static const std::array<QString, kColumns> texts = {
        QStringLiteral("Origine"),        QStringLiteral("Adresse"),
        QStringLiteral("Port"),           QStringLiteral("Fichier en cours"),
        QStringLiteral("Position reçue"), QStringLiteral("Total à recevoir"),
        QStringLiteral("Reçu"),           QStringLiteral("Débit"),
        QStringLiteral("Dernière trame"), QStringLiteral("Protocole")};
    return texts;
}

QString protocolOf(const TransferRow& row) {
    if (row.transfer == 0) {
        return QStringLiteral("simple");
    }
    return row.resumed ? QStringLiteral("ZX1 repris") : QStringLiteral("ZX1");
}

QString lastFrameOf(const TransferRow& row, std::int64_t nowMs) {
    if (row.lastFrameMs <= 0) {
        return {};
    }
    const QString time =
        QDateTime::fromMSecsSinceEpoch(row.lastFrameMs).toString(QStringLiteral("HH:mm:ss"));
    return rowIdle(row, nowMs) ? time + QStringLiteral(" (inactif)") : time;
}

QString cell(const TransferRow& row, int column, std::int64_t nowMs) {
    switch (column) {
    case 0:
        return displayText(row.origin);
    case 1:
        return displayText(row.address);
    case 2:
        return QString::number(row.port);
    case 3:
        return displayText(row.file);
    case 4:
        return groupedDigits(std::to_string(row.position));
    case 5:
        return groupedDigits(row.total);
    case 6:
        return receivedShare(row);
    case 7:
        return rowIdle(row, nowMs) ? QString() : displayText(row.rate);
    case 8:
        return lastFrameOf(row, nowMs);
    default:
        return protocolOf(row);
    }
}

// What each column must show whole: 10-character origins of common letters, dotted IPv4
// addresses, 5-digit ports, a file name of a fair length and 10-digit positions, grouped. Anything
// wider shows whole in its tooltip.
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
        return QStringLiteral("100,0 %");
    case 7:
        return QStringLiteral("999 MB/s");
    case 8:
        return QStringLiteral("00:00:00 (inactif)");
    case 9:
        return QStringLiteral("ZX1 repris");
    default:
        return groupedDigits("2147483647");
    }
}

} // namespace

bool rowIdle(const TransferRow& row, std::int64_t nowMs) {
    return row.lastFrameMs > 0 && nowMs - row.lastFrameMs >= kIdleRowMs;
}

QString groupedDigits(const std::string& digits) {
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return displayText(digits);
    }
    QString grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            grouped += QChar(0x202F);
        }
        grouped += QLatin1Char(digits[i]);
    }
    return grouped;
}

QString receivedShare(const TransferRow& row) {
    const std::int64_t position = row.position;
    std::int64_t total = 0;
    const auto read = [](const std::string& text, std::int64_t& value) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return error == std::errc() && end == text.data() + text.size();
    };
    if (!read(row.total, total) || total <= 0 || position < 1) {
        return {};
    }
    const double share =
        100.0 * static_cast<double>(std::min(position - 1, total)) / static_cast<double>(total);
    return QString::number(share, 'f', 1).replace(QLatin1Char('.'), QLatin1Char(',')) +
           QStringLiteral(" %");
}

QString severalFilesLine(const TransferTable& table) {
    QStringList parts;
    for (const OriginSummary& origin : table.origins()) {
        if (origin.transfers > 1) {
            QString name = displayText(origin.origin);
            while (name.endsWith(QLatin1Char(' '))) {
                name.chop(1);
            }
            parts.append(name + QStringLiteral(" : %1 fichiers en cours, ").arg(origin.transfers) +
                         QString::fromStdString(rateText(origin.rate)));
        }
    }
    return parts.join(QStringLiteral(" ; "));
}

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
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::ForegroundRole) ||
        !index.isValid() || index.row() >= table_.count()) {
        return {};
    }
    const TransferRow& row = table_.at(index.row());
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (role == Qt::ForegroundRole) {
        return rowIdle(row, now) ? QVariant(QColor(Qt::gray)) : QVariant();
    }
    return cell(row, index.column(), now);
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
    : ServeurWindow(engine.table(), engine.udpLabel(), engine.tcpLabel(), parent) {
    connect(&engine, &ServeurEngine::tableChanged, this, &ServeurWindow::scheduleRefresh);
}

ServeurWindow::ServeurWindow(WatchLink& link, QWidget* parent)
    : ServeurWindow(watched_, QString(), QString(), parent) {
    watchLine_ = new QLabel(this);
    watchLine_->setObjectName(QStringLiteral("lblSurveillance"));
    watchLine_->setTextFormat(Qt::PlainText);
    layout()->addWidget(watchLine_);
    connect(&link, &WatchLink::changed, this, [this, &link] { showWatched(link); });
    showWatched(link);
}

ServeurWindow::ServeurWindow(const TransferTable& table, const QString& udp, const QString& tcp,
                             QWidget* parent)
    : QWidget(parent), table_(table), model_(table), view_(new QTableView(this)),
      udp_(new QLabel(udp, this)), tcp_(new QLabel(tcp, this)), severalLine_(new QLabel(this)) {
    setWindowTitle(caption(Program::Server));
    view_->setObjectName(QStringLiteral("tabTransferts"));
    view_->setModel(&model_);
    view_->verticalHeader()->hide();
    view_->setSelectionMode(QAbstractItemView::NoSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setWordWrap(false);
    view_->setTextElideMode(Qt::ElideMiddle);
    fitColumns();

    udp_->setObjectName(QStringLiteral("Label7"));
    tcp_->setObjectName(QStringLiteral("Label8"));
    auto* ports = new QHBoxLayout;
    ports->addWidget(udp_);
    ports->addSpacing(24);
    ports->addWidget(tcp_);
    ports->addStretch();

    severalLine_->setObjectName(QStringLiteral("lblPlusieurs"));
    severalLine_->setTextFormat(Qt::PlainText);
    severalLine_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_, 1);
    layout->addWidget(severalLine_);
    layout->addLayout(ports);
    resize(sizeHint().expandedTo(QSize(view_->horizontalHeader()->length() + 40, 240)));

    refresh_.setSingleShot(true);
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &ServeurWindow::refresh);
    idleBeat_.setInterval(kIdleBeatMs);
    connect(&idleBeat_, &QTimer::timeout, this, &ServeurWindow::scheduleRefresh);
    idleBeat_.start();
}

// The state arrives once a second at most: shown as it comes.
void ServeurWindow::showWatched(const WatchLink& link) {
    const QJsonObject& state = link.state();
    rowsFromState(state, watched_);
    udp_->setText(state.value(QStringLiteral("udp")).toString());
    tcp_->setText(state.value(QStringLiteral("tcp")).toString());
    const int rows = state.value(QStringLiteral("rowCount")).toInt();
    QString line = link.connected() ? QStringLiteral("Surveillance du service : ") + link.path()
                                    : QStringLiteral("Service injoignable (") + link.path() +
                                          QStringLiteral("), nouvel essai dans 2 s");
    if (rows > watched_.count()) {
        line += QStringLiteral(" ; %1 lignes sur %2").arg(watched_.count()).arg(rows);
    }
    watchLine_->setText(line);
    refresh(); // the rows changed under the model: it must know at once
}

void ServeurWindow::refresh() {
    model_.refresh();
    const QString several = severalFilesLine(table_);
    severalLine_->setText(several);
    severalLine_->setVisible(!several.isEmpty());
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
