#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>

namespace zelk {

class ClientEngine;
struct ClientConfig;

// What the client does, shown: the server's address and port, the share of the current file that
// the server holds, a line saying what the client is doing, and the files waiting in the outbox.
// Nothing in it is operated.
class ClientWindow : public QWidget {
    Q_OBJECT
public:
    ClientWindow(const ClientEngine& engine, const ClientConfig& config);

private:
    void arrange();
    void refresh();

    const ClientEngine& engine_;
    QLineEdit txtAdresse;
    QLineEdit txtPort;
    QProgressBar pgbTrx;
    QLabel lblEtat; // what the client is doing
    QListWidget lstFilPos;
    QTimer repaint_;
    bool stale_ = true;
    int quietTicks_ = 0;
};

} // namespace zelk
