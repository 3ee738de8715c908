#include "service.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef ZELK_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace zelk {
namespace {

// The handler may only write: the event loop reads the signal's number from the other end.
int signalPipe[2] = {-1, -1};

void onSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};

void notify([[maybe_unused]] const std::string& message) {
#ifdef ZELK_SYSTEMD
    sd_notify(0, message.c_str());
#endif
}

// A status goes on one line of its own.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

} // namespace

ServiceLink::ServiceLink(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &ServiceLink::signalled);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : kHandledSignals) {
        ::sigaction(number, &action, nullptr);
    }
    connect(&watchdog_, &QTimer::timeout, this, [] { notify("WATCHDOG=1"); });
}

ServiceLink::~ServiceLink() {
    for (const int number : kHandledSignals) {
        std::signal(number, SIG_DFL);
    }
    notifier_.reset();
    for (int& fd : signalPipe) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

void ServiceLink::signalled() {
    unsigned char byte = 0;
    bool stop = false;
    bool reload = false;
    while (::read(signalPipe[0], &byte, 1) == 1) {
        if (byte == SIGHUP) {
            reload = true;
            continue;
        }
        stop = true;
        if (stoppedBy_.empty()) {
            const char* name = sigabbrev_np(byte);
            stoppedBy_ = std::string("SIG") + (name != nullptr ? name : "?");
        }
    }
    if (stop) {
        QCoreApplication::quit();
    } else if (reload) {
        emit reloadRequested();
    }
}

void ServiceLink::ready(const std::string& status) {
    notify("READY=1\nSTATUS=" + oneLine(status));
#ifdef ZELK_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Twice per period, as sd_watchdog_enabled(3) advises.
        watchdog_.start(static_cast<int>(std::max<uint64_t>(usec / 2000, 1)));
    }
#endif
}

void ServiceLink::status(const std::string& text) {
    notify("STATUS=" + oneLine(text));
}

void ServiceLink::stopping() {
    watchdog_.stop();
    notify("STOPPING=1");
}

void ServiceLink::reloading() {
    notify("RELOADING=1");
}

void ServiceLink::reloaded() {
    notify("READY=1");
}

bool ServiceLink::canNotify() {
#ifdef ZELK_SYSTEMD
    return true;
#else
    return false;
#endif
}

} // namespace zelk
