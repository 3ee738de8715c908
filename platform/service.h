#pragma once

// What a program owes the service manager that runs it: a clean stop on SIGTERM and SIGINT, a
// reload on SIGHUP (as daemons do), and, under systemd, word that it is ready, what it is doing,
// and that its event loop still turns (the watchdog). Without systemd the notifications cost
// nothing.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>
#include <string>

namespace zelk {

class ServiceLink : public QObject {
    Q_OBJECT
public:
    // Takes over SIGTERM, SIGINT and SIGHUP for the life of the object: the first two quit the
    // application's event loop instead of killing the process, SIGHUP asks for a reload.
    explicit ServiceLink(QObject* parent = nullptr);
    ~ServiceLink() override;
    ServiceLink(const ServiceLink&) = delete;
    ServiceLink& operator=(const ServiceLink&) = delete;

    // The sockets are bound: READY=1 with the first status, and the watchdog starts when the
    // service manager asks for one.
    void ready(const std::string& status);
    void status(const std::string& text);
    void stopping();
    // Tells the service manager a reload is under way (RELOADING=1), then that it is done.
    void reloading();
    void reloaded();
    // The signal that stopped the program ("SIGTERM"), empty when none did.
    const std::string& stoppedBy() const { return stoppedBy_; }
    // Whether this build can talk to systemd at all.
    static bool canNotify();

signals:
    void reloadRequested();

private:
    void signalled();

    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer watchdog_;
    std::string stoppedBy_;
};

} // namespace zelk
