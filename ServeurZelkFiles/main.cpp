#include "cli.h"
#include "config.h"
#include "serveurengine.h"

#include <sys/resource.h>

#include <QCoreApplication>
#include <cstdio>
#include <memory>

#ifdef ZELK_GUI
#include "serveurwindow.h"
#include <QApplication>
#include <QMessageBox>
#endif

namespace {

// Every TCP connection costs a descriptor: take all that the system grants this process rather
// than the usual soft limit of 1024, so that a crowd of peers does not run the server dry.
void raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

#ifdef ZELK_GUI
constexpr bool kWindowBuilt = true;
#else
constexpr bool kWindowBuilt = false;
#endif

void reportStartFailure(const QString& cause, bool windowed) {
    const QByteArray line = QStringLiteral("Serveur_ZelkFiles: %1\n").arg(cause).toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
#ifdef ZELK_GUI
    if (windowed) {
        QMessageBox::critical(nullptr, zelk::caption(zelk::Program::Server), cause);
    }
#else
    (void)windowed;
#endif
}

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool windowed) {
#ifdef ZELK_GUI
    if (windowed) {
        return std::make_unique<QApplication>(argc, argv);
    }
#else
    (void)windowed;
#endif
    return std::make_unique<QCoreApplication>(argc, argv);
}

} // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    const auto commandLine = zelk::parseCommandLine(argc, argv, zelk::Program::Server, exitCode);
    if (!commandLine) {
        return exitCode;
    }
    raiseOpenFileLimit();
    const bool windowed = kWindowBuilt && !commandLine->headless;
    const auto app = makeApplication(argc, argv, windowed);

    zelk::ServerConfig config;
    std::string readError;
    const QString configPath = zelk::configFilePath(*commandLine, zelk::Program::Server);
    if (!zelk::Lire_Config(zelk::pathBytes(configPath), config, readError)) {
        reportStartFailure(QString::fromLocal8Bit(readError), windowed);
        return 1;
    }
    zelk::ServeurEngine engine;
    QString startError;
    if (!engine.start(config, startError)) {
        reportStartFailure(startError, windowed);
        return 1;
    }
#ifdef ZELK_GUI
    std::unique_ptr<zelk::ServeurWindow> window;
    if (windowed) {
        window = std::make_unique<zelk::ServeurWindow>(engine);
        window->show();
    }
#endif
    return app->exec();
}
