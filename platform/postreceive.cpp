#include "postreceive.h"

#include <QTimer>
#include <algorithm>

namespace zelk {
namespace {

PostReceive* instance = nullptr;

QString local(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

PostReceive::PostReceive(QObject* parent) : QObject(parent) {
    instance = this;
    onFileRecord([this](const FileRecord& record) {
        if (record.received) {
            fileReceived(record);
        }
    });
}

PostReceive::~PostReceive() {
    onFileRecord({});
    instance = nullptr;
    for (QProcess* process : running_) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
        delete process;
    }
}

PostReceive* PostReceive::current() {
    return instance;
}

void PostReceive::setProgram(const std::string& program) {
    program_ = program;
}

void PostReceive::fileReceived(const FileRecord& record) {
    if (program_.empty()) {
        return;
    }
    if (waiting_.size() >= kMostWaiting) {
        trace_.write("command failed", "for " + record.path + ": " + std::to_string(kMostWaiting) +
                                           " files already wait for the command; not run");
        return;
    }
    waiting_.push_back(record);
    startNext();
}

void PostReceive::startNext() {
    while (!waiting_.empty() && running() < kAtOnce) {
        const FileRecord record = waiting_.front();
        waiting_.pop_front();
        auto* process = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The service manager's channels are the server's, not its command's.
        for (const char* name :
             {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID", "LISTEN_FDS", "LISTEN_PID"}) {
            env.remove(QLatin1String(name));
        }
        env.insert(QStringLiteral("ZELK_ORIGIN"), local(record.origin));
        env.insert(QStringLiteral("ZELK_FILE"), local(record.name));
        env.insert(QStringLiteral("ZELK_SIZE"), QString::number(record.size));
        env.insert(QStringLiteral("ZELK_SHA256"), QString::fromStdString(record.sha256));
        env.insert(QStringLiteral("ZELK_PATH"), local(record.path));
        process->setProcessEnvironment(env);
        process->setStandardInputFile(QProcess::nullDevice());
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        connect(process, &QProcess::finished, this,
                [this, process, record](int code, QProcess::ExitStatus status) {
                    finished(process, record, code, status);
                });
        connect(process, &QProcess::errorOccurred, this,
                [this, process, record](QProcess::ProcessError error) {
                    if (error == QProcess::FailedToStart) {
                        finished(process, record, -1, QProcess::CrashExit);
                    }
                });
        QTimer::singleShot(timeLimitMs_, process, [this, process, record] {
            trace_.write("command failed", program_ + " " + record.path + ": still running after " +
                                               std::to_string(timeLimitMs_ / 1000) + " s, killed");
            process->kill();
        });
        running_.push_back(process);
        // An argument vector, never a shell: the name from the network is one argument.
        process->start(local(program_), {local(record.path)});
    }
}

void PostReceive::finished(QProcess* process, const FileRecord& record, int exitCode,
                           QProcess::ExitStatus status) {
    const auto found = std::find(running_.begin(), running_.end(), process);
    if (found == running_.end()) {
        return; // both "failed to start" and "finished" may come
    }
    running_.erase(found);
    if (status != QProcess::NormalExit || exitCode != 0) {
        const std::string why = exitCode == -1 && status == QProcess::CrashExit &&
                                        process->error() == QProcess::FailedToStart
                                    ? "cannot be started: " + process->errorString().toStdString()
                                : status != QProcess::NormalExit
                                    ? std::string("killed or crashed")
                                    : "exit status " + std::to_string(exitCode);
        trace_.write("command failed", program_ + " " + record.path + ": " + why);
    }
    process->deleteLater();
    startNext();
}

} // namespace zelk
