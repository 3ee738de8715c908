#include "clientwindow.h"

#include "cli.h"
#include "clientengine.h"
#include "config.h"

#include <QFile>

namespace zelk {
namespace {

// Changes come with every datagram; the window catches up at most this often.
constexpr int kRefreshMs = 100;

} // namespace

ClientWindow::ClientWindow(const ClientEngine& engine, const ClientConfig& config)
    : engine_(engine), txtAdresse(this), txtPort(this), pgbTrx(this), lstFilPos(this),
      repaint_(this) {
    setWindowTitle(caption(Program::Client));
    setFixedSize(250, 219);
    txtAdresse.setGeometry(16, 24, 81, 19);
    txtPort.setGeometry(112, 24, 41, 19);
    pgbTrx.setGeometry(16, 56, 225, 17);
    lstFilPos.setGeometry(16, 80, 217, 82);
    txtPort.setEnabled(false);
    txtAdresse.setEnabled(false);
    txtPort.setText(QString::fromLatin1(config.cfgPortDest));
    txtAdresse.setText(QString::fromLatin1(config.cfgAdresseDest));
    pgbTrx.setRange(0, 100);

    const auto markStale = [this] { stale_ = true; };
    connect(&engine, &ClientEngine::listChanged, this, markStale);
    connect(&engine, &ClientEngine::progressChanged, this, markStale);
    connect(&repaint_, &QTimer::timeout, this, [this] {
        if (stale_) {
            refresh();
        }
    });
    repaint_.start(kRefreshMs);
    refresh();
}

void ClientWindow::refresh() {
    stale_ = false;
    pgbTrx.setValue(engine_.progress());
    QStringList names;
    for (const std::string& name : engine_.fileNames()) {
        names << QFile::decodeName(QByteArray::fromStdString(name));
    }
    bool same = lstFilPos.count() == names.size();
    for (int i = 0; same && i < names.size(); ++i) {
        same = lstFilPos.item(i)->text() == names[i];
    }
    if (!same) {
        lstFilPos.clear();
        lstFilPos.addItems(names);
    }
}

} // namespace zelk
