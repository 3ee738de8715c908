#pragma once

#include "codec.h"
#include "config.h"
#include "piecewriter.h"
#include "receivefolder.h"
#include "tcplistener.h"
#include "trace.h"
#include "transfertable.h"
#include "udpendpoint.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

namespace zelk {

// Bytes as the window shows them: UTF-8 when they are, one character per byte otherwise.
QString displayText(std::string_view bytes);

// The receiving server without its window: the UDP socket, the TCP listener and its connections,
// the transfer table, content writing and acknowledgements. Everything runs on the one event
// thread; the frame being handled is passed between the procedures through the members below,
// which every arrival overwrites.
class ServeurEngine : public QObject {
    Q_OBJECT
public:
    explicit ServeurEngine(QObject* parent = nullptr, std::FILE* traceSink = stderr);

    // Start-up in order: receive folder, empty table, port labels, UDP bind, TCP listen.
    // On failure `error` names the cause and no socket is left open.
    bool start(const ServerConfig& config, QString& error);

    quint16 udpPort() const { return udpSend.localPort(); }
    quint16 tcpPort() const { return tcpSend.localPort(); }
    const QString& udpLabel() const { return udpLabel_; }
    const QString& tcpLabel() const { return tcpLabel_; }
    const TransferTable& table() const { return table_; }
    // Lets a test place a transfer where real traffic would take hours to bring it.
    TransferTable& table() { return table_; }
    // The listener and its connections, by index.
    TcpListener& connections() { return tcpSend; }
    // Lets a test see, or make fail, the writes and syncs that keep received files.
    void useFileOps(FileOps& ops) { writer_.useFileOps(ops); }

signals:
    // Emitted on every change of the table; a window coalesces these into one refresh.
    void tableChanged();

private:
    bool Set_FilPos(QString& error);
    bool bindUdp(QString& error);
    bool listenTcp(QString& error);

    void udpSend_DataArrival(std::string_view bytes, const QHostAddress& from, quint16 fromPort);
    void tcpSend_DataArrival(int index);
    void tcpSend_Close(int index);
    void tcpSend_Error(int index);
    void tcpSend_Idle(int index);
    void aboutConnection(int index);
    void handleGathered(int index);
    bool readMore(int index);
    void handleFrame();
    bool safeFrameNames(std::string_view why);

    void Match_File();
    bool AddListe();

    void Donnees_de_Contenu();
    bool holdReceiveFolder(WriteFailure& failure);
    bool writePiece(const TransferRow& row, std::int64_t position, std::string_view bytes,
                    bool last, WriteFailure& failure);
    void pieceFailed(const TransferRow& row, const WriteFailure& failure);
    // `last`: the new position is the announced size + 1.
    void finishRow(int index, std::int64_t newPosition, bool last);

    void EnvoieAck(const std::string& position);
    std::string peerText() const;
    void drop(std::string_view why);
    std::int64_t elapsedMs(const std::string& origin) const;
    std::string elapsedText(const std::string& origin) const;

    ServerConfig cfg_;
    QString udpLabel_;
    QString tcpLabel_;
    TransferTable table_;
    // Held open: every file below it is reached from its descriptor.
    ReceiveFolder folder_;
    // Files being received stay open between pieces; those left idle are closed after a while.
    PieceWriter writer_;
    QTimer idleFiles_;
    UdpEndpoint udpSend;
    TcpListener tcpSend;
    Trace trace_;
    // When each origin's current file began, kept only while the trace is on.
    std::map<std::string, QElapsedTimer> startedAt_;

    // The frame being handled.
    bool modeTcp = false;
    bool headerFrame_ = false;
    int indexTcp = 0;
    std::string_view tamponRecu; // the frame being handled, read in place
    std::string tcpFrame_;       // a frame cut from a TCP stream, its storage kept
    std::string ackText_;        // the answer being sent, its storage kept between answers
    FrameCheck check_;
    std::string nomOrigine;
    std::string nomFichier;
    std::string tailleTotale;
    QHostAddress peerAddress_;
    quint16 peerPort_ = 0;
};

} // namespace zelk
