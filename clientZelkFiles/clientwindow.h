#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace zelk {

class ClientEngine;
class WatchLink;
struct ClientConfig;
struct ClientView;

// What the client does, shown: the server's address and port, the share of the current file that
// the server holds, a line saying what the client is doing, and the files waiting in the outbox.
// Nothing in it is operated.
class ClientWindow : public QWidget {
    Q_OBJECT
public:
    ClientWindow(const ClientEngine& engine, const ClientConfig& config);
    // What the client that `link` watches shows (--watch).
    ClientWindow(const WatchLink& link, const ClientConfig& config);

private:
    ClientWindow(const ClientConfig& config, std::function<ClientView()> view);
    void arrange();
    void refresh();

    std::function<ClientView()> view_;
    QLineEdit txtAdresse;
    QLineEdit txtPort;
    QProgressBar pgbTrx;
    QLabel activity_; // what the client is doing
    QListWidget lstFilPos;
    QTimer repaint_;
    bool stale_ = true;
    int quietTicks_ = 0;
};

} // namespace zelk
