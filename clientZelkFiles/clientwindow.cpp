#include "clientwindow.h"

#include "cli.h"
#include "clientengine.h"
#include "clientstate.h"
#include "config.h"
#include "watch.h"

#include <QFile>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPalette>
#include <QVBoxLayout>

namespace zelk {
namespace {

// Changes come with every datagram; the window catches up at most this often.
constexpr int kRefreshMs = 100;

} // namespace

ClientWindow::ClientWindow(const ClientEngine& engine, const ClientConfig& config)
    : ClientWindow(config, [&engine] { return clientView(engine); }) {
    const auto markStale = [this] { stale_ = true; };
    connect(&engine, &ClientEngine::listChanged, this, markStale);
    connect(&engine, &ClientEngine::progressChanged, this, markStale);
    connect(&engine, &ClientEngine::statusChanged, this, markStale);
}

ClientWindow::ClientWindow(const WatchLink& link, const ClientConfig& config)
    : ClientWindow(config, [&link] {
          ClientView view = viewFromState(link.state());
          if (!link.connected()) {
              view.activity = QStringLiteral("Service injoignable (") + link.path() +
                              QStringLiteral("), nouvel essai dans 2 s");
          }
          return view;
      }) {
    connect(&link, &WatchLink::changed, this, [this] { stale_ = true; });
}

ClientWindow::ClientWindow(const ClientConfig& config, std::function<ClientView()> view)
    : view_(std::move(view)), txtAdresse(this), txtPort(this), pgbTrx(this), activity_(this),
      lstFilPos(this), repaint_(this) {
    setWindowTitle(caption(Program::Client));
    txtAdresse.setObjectName(QStringLiteral("txtAdresse"));
    txtPort.setObjectName(QStringLiteral("txtPort"));
    pgbTrx.setObjectName(QStringLiteral("pgbTrx"));
    lstFilPos.setObjectName(QStringLiteral("lstFilPos"));
    activity_.setObjectName(QStringLiteral("lblEtat"));
    activity_.setTextFormat(Qt::PlainText);
    txtPort.setEnabled(false);
    txtAdresse.setEnabled(false);
    txtPort.setText(QString::fromLatin1(config.cfgPortDest));
    txtAdresse.setText(QString::fromLatin1(config.cfgAdresseDest));
    pgbTrx.setRange(0, 100);
    pgbTrx.setTextVisible(true);
    arrange();

    // Some changes come without a signal (a destination that resolves at last): a slow beat.
    connect(&repaint_, &QTimer::timeout, this, [this] {
        if (stale_ || ++quietTicks_ % 10 == 0) {
            refresh();
        }
    });
    repaint_.start(kRefreshMs);
    refresh();
}

// Address before port on one line, the progress bar below them and the outbox list under it; the
// address and the list take whatever room a larger window gives.
void ClientWindow::arrange() {
    const QFontMetrics metrics(txtPort.font());
    txtPort.setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("655350")));
    txtPort.setMaximumWidth(metrics.horizontalAdvance(QStringLiteral("65535000000")));
    txtAdresse.setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("255.255.255.255")));
    // Greyed, as boxes that cannot be edited, yet dark enough to read at a glance.
    for (QLineEdit* box : {&txtAdresse, &txtPort}) {
        QPalette palette = box->palette();
        QColor text = palette.color(QPalette::Active, QPalette::Text);
        text.setAlpha(180);
        palette.setColor(QPalette::Disabled, QPalette::Text, text);
        box->setPalette(palette);
    }
    auto* destination = new QHBoxLayout;
    destination->addWidget(&txtAdresse, 3);
    destination->addSpacing(12);
    destination->addWidget(&txtPort, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->addLayout(destination);
    layout->addWidget(&pgbTrx);
    layout->addWidget(&activity_);
    layout->addWidget(&lstFilPos, 1);
    resize(320, 240);
}

void ClientWindow::refresh() {
    stale_ = false;
    const ClientView view = view_();
    pgbTrx.setValue(view.progress);
    // The protocol of the file being sent, and its rate lately.
    pgbTrx.setFormat(view.status.isEmpty() ? QStringLiteral("%p%")
                                           : QStringLiteral("%p%  ") + view.status);
    if (view.activity != activity_.text()) {
        activity_.setText(view.activity);
    }
    bool same = lstFilPos.count() == view.files.size();
    for (int i = 0; same && i < view.files.size(); ++i) {
        same = lstFilPos.item(i)->text() == view.files[i];
    }
    if (!same) {
        lstFilPos.clear();
        lstFilPos.addItems(view.files);
    }
}

} // namespace zelk
