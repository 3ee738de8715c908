#pragma once

// The server's command after each file ("apresReception="): a program run with the file's final
// path as its only argument once the file is whole and has its name. No shell sees the name,
// which comes from the network: the program gets it as one argument, and the origin, name, size
// and digest in its environment. A few run at once, the rest wait their turn; one that runs past
// the time limit is killed; each failure is written as a warning; the engine never waits for any.

#include "filerecord.h"

#include <QObject>
#include <QProcess>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace zelk {

class PostReceive : public QObject {
public:
    static constexpr int kAtOnce = 4;
    static constexpr int kTimeLimitMs = 300000;
    // Files that wait beyond this are not given to the command (each is warned about).
    static constexpr std::size_t kMostWaiting = 10000;

    explicit PostReceive(QObject* parent = nullptr);
    ~PostReceive() override;
    // Empty: no command. Applied to the files received from now on.
    void setProgram(const std::string& program);
    void setTimeLimitMs(int ms) { timeLimitMs_ = ms; }
    void fileReceived(const FileRecord& record);
    int running() const { return static_cast<int>(running_.size()); }
    // The one a running server uses, or null.
    static PostReceive* current();

private:
    void startNext();
    void finished(QProcess* process, const FileRecord& record, int exitCode,
                  QProcess::ExitStatus status);

    std::string program_;
    int timeLimitMs_ = kTimeLimitMs;
    std::deque<FileRecord> waiting_;
    std::vector<QProcess*> running_;
    Trace trace_;
};

} // namespace zelk
