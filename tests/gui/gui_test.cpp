// Both windows as a person sees them, on a virtual display: the real engines move files over
// loopback, a relay holds each transfer part-way, and the widgets are read and photographed while
// the files move and once they are done. Set ZELK_SCREENSHOT_DIR to keep the pictures.

#include "clientengine.h"
#include "clientwindow.h"
#include "codec.h"
#include "config.h"
#include "fsops.h"
#include "holdingrelay.h"
#include "serveurengine.h"
#include "serveurwindow.h"
#include "testutil.h"
#include "watch.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QProgressBar>
#include <QTableView>
#include <QTcpServer>
#include <QTest>
#include <QTime>
#include <QUdpSocket>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <tuple>

using namespace zelktest;

namespace {

constexpr int kWaitMs = 60000; // a bound only: a loaded machine may be slow
constexpr int kPiece = 1000;

zelk::ServerConfig serverConfig(const std::string& inbox) {
    zelk::ServerConfig config;
    config.cfgPortUdp = std::to_string(zelktest::freeUdpPort());
    config.cfgPortTcp = std::to_string(zelktest::freeTcpPort());
    config.cfgRepertoire = inbox;
    config.cfgTrace = "N";
    return config;
}

// Waits long for an answer, so that a held frame never brings the header back.
zelk::ClientConfig clientConfig(const std::string& outbox, const std::string& origin,
                                quint16 serverPort) {
    zelk::ClientConfig config;
    config.cfgRepertoire = outbox;
    config.cfgDelaiScan = "50";
    config.cfgDelaiAttente = "600000";
    config.cfgIdOrigine = origin;
    config.idOrigineLu = true;
    config.cfgAdresseDest = "127.0.0.1";
    config.cfgPortDest = std::to_string(serverPort);
    config.cfgPortLocal = "0";
    config.cfgPaquetsMax = std::to_string(kPiece);
    config.cfgTrace = "N";
    config.cfgExtension = "N"; // the relay holds the transfer at one piece in flight
    return config;
}

template <typename Widget> Widget* child(QWidget& window, const char* name) {
    auto* widget = window.findChild<Widget*>(QString::fromLatin1(name));
    if (widget == nullptr) {
        ADD_FAILURE() << "no widget named " << name;
    }
    return widget;
}

QString cell(QTableView* view, int row, int column) {
    return view->model()->index(row, column).data().toString();
}

// "48001" as the window writes it: "48 001", with a narrow no-break space.
QString grouped(std::int64_t value) {
    QString digits = QString::number(value);
    for (auto at = digits.size() - 3; at > 0; at -= 3) {
        digits.insert(at, QChar(0x202F));
    }
    return digits;
}

int rowOf(QTableView* view, const QString& origin) {
    for (int row = 0; row < view->model()->rowCount(); ++row) {
        if (cell(view, row, 0) == origin) {
            return row;
        }
    }
    return -1;
}

QStringList items(QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) {
        texts << list->item(i)->text();
    }
    return texts;
}

// The picture of a window: its size, some drawing in it, and a copy kept when asked for.
void photograph(QWidget& window, const QString& name) {
    const QPixmap shot = window.grab();
    ASSERT_FALSE(shot.isNull()) << name.toStdString();
    EXPECT_EQ(shot.deviceIndependentSize().toSize(), window.size());
    const QImage image = shot.toImage();
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3) {
        for (int x = 0; x < image.width(); x += 3) {
            colours.insert(image.pixel(x, y));
        }
    }
    EXPECT_GT(colours.size(), 8u) << name.toStdString() << " looks blank";
    const QString folder = qEnvironmentVariable("ZELK_SCREENSHOT_DIR");
    if (!folder.isEmpty()) {
        EXPECT_TRUE(
            image.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"), "PNG", 0));
    }
}

struct Sending {
    std::string origin;
    std::string outbox;
    std::map<std::string, std::string> files;
};

// One client engine behind its relay.
class Sender {
public:
    Sender(const Sending& sending, quint16 serverPort)
        : sending_(sending), serverPort_(serverPort) {
        std::filesystem::create_directory(sending.outbox);
        for (const auto& [name, bytes] : sending.files) {
            writeFile(zelk::joinPath(sending.outbox, name), bytes);
        }
    }

    // Starts with a relay that lets the header and the pieces up to `share` of the first listed
    // file through; returns that file's name.
    std::string start(double share) {
        // The engine lists in the folder's own order, as this does.
        first_ = zelk::listFiles(sending_.outbox).front();
        const auto size = static_cast<double>(sending_.files.at(first_).size());
        piecesPassed_ = static_cast<int>(size * share / kPiece);
        relay_ = std::make_unique<guitest::HoldingRelay>(serverPort_, 1 + piecesPassed_);
        config_ = clientConfig(sending_.outbox, sending_.origin, relay_->clientSidePort());
        QString error;
        EXPECT_TRUE(engine_.start(config_, error)) << error.toStdString();
        return first_;
    }

    zelk::ClientEngine& engine() { return engine_; }
    const zelk::ClientConfig& config() const { return config_; }
    guitest::HoldingRelay& relay() { return *relay_; }
    // The server's position once the relay holds: every passed piece written.
    std::int64_t heldPosition() const { return piecesEnd(piecesPassed_, kPiece) + 1; }
    int heldProgress() const {
        return static_cast<int>(piecesEnd(piecesPassed_, kPiece) * 100 /
                                static_cast<std::int64_t>(sending_.files.at(first_).size()));
    }
    bool outboxEmpty() const { return zelk::listFiles(sending_.outbox).empty(); }

private:
    Sending sending_;
    quint16 serverPort_ = 0;
    std::string first_;
    int piecesPassed_ = 0;
    std::unique_ptr<guitest::HoldingRelay> relay_;
    zelk::ClientConfig config_;
    zelk::ClientEngine engine_;
};

class Windows : public ::testing::Test {
protected:
    Windows() {
        QString error;
        config_ = serverConfig(inbox_);
        if (!server_.start(config_, error)) {
            throw std::runtime_error(error.toStdString());
        }
    }

    zelktest::ScratchDir dir_;
    std::string inbox_ = dir_.file("inbox");
    zelk::ServerConfig config_;
    zelk::ServeurEngine server_;
};

QString serverCaption() {
    return QStringLiteral("Serveur_ZelkFile - version: %1.%2 révision: %3")
        .arg(ZELK_SERVER_VERSION_MAJOR)
        .arg(ZELK_SERVER_VERSION_MINOR)
        .arg(ZELK_SERVER_VERSION_REVISION);
}

QString clientCaption() {
    return QStringLiteral("Client_ZelkFile - version: %1.%2 révision: %3")
        .arg(ZELK_CLIENT_VERSION_MAJOR)
        .arg(ZELK_CLIENT_VERSION_MINOR)
        .arg(ZELK_CLIENT_VERSION_REVISION);
}

void expectServerFrame(zelk::ServeurWindow& window, const zelk::ServerConfig& config) {
    EXPECT_EQ(window.windowTitle(), serverCaption());
    auto* view = child<QTableView>(window, "tabTransferts");
    ASSERT_NE(view, nullptr);
    const QStringList headings = {
        QStringLiteral("Origine"),        QStringLiteral("Adresse"),
        QStringLiteral("Port"),           QStringLiteral("Fichier en cours"),
        QStringLiteral("Position reçue"), QStringLiteral("Total à recevoir"),
        QStringLiteral("Reçu"),           QStringLiteral("Débit"),
        QStringLiteral("Dernière trame"), QStringLiteral("Protocole")};
    ASSERT_EQ(view->model()->columnCount(), headings.size());
    for (int column = 0; column < headings.size(); ++column) {
        EXPECT_EQ(view->model()->headerData(column, Qt::Horizontal).toString(), headings[column]);
        // A heading that does not fit its column is cut on screen.
        const int needed =
            view->horizontalHeader()->fontMetrics().horizontalAdvance(headings[column]);
        EXPECT_GE(view->columnWidth(column), needed) << headings[column].toStdString();
    }
    auto* udp = child<QLabel>(window, "Label7");
    auto* tcp = child<QLabel>(window, "Label8");
    ASSERT_TRUE(udp && tcp);
    EXPECT_EQ(udp->text(),
              QStringLiteral("UDP port = ") + QString::fromStdString(config.cfgPortUdp));
    EXPECT_EQ(tcp->text(),
              QStringLiteral("TCP port = ") + QString::fromStdString(config.cfgPortTcp));
}

void expectClientFrame(zelk::ClientWindow& window, const zelk::ClientConfig& config) {
    EXPECT_EQ(window.windowTitle(), clientCaption());
    auto* address = child<QLineEdit>(window, "txtAdresse");
    auto* port = child<QLineEdit>(window, "txtPort");
    ASSERT_TRUE(address && port);
    EXPECT_EQ(address->text(), QString::fromStdString(config.cfgAdresseDest));
    EXPECT_EQ(port->text(), QString::fromStdString(config.cfgPortDest));
    EXPECT_FALSE(address->isEnabled());
    EXPECT_FALSE(port->isEnabled());
    // The whole address and port show.
    EXPECT_GE(address->width(), address->fontMetrics().horizontalAdvance(address->text()));
    EXPECT_GE(port->width(), port->fontMetrics().horizontalAdvance(port->text()));
}

} // namespace

TEST_F(Windows, ShowTransfersWhileTheyMoveAndOnceTheyAreDone) {
    const quint16 serverPort = server_.udpPort();
    Sending atelierFiles{"atelier",
                         dir_.file("outbox-atelier"),
                         {{"rapport-mensuel-2024.pdf", patternBytes(48000, 1)},
                          {"photos-chantier.tar", patternBytes(36000, 2)},
                          {"notes.txt", patternBytes(24000, 3)}}};
    Sending bureauFiles{
        "bureau", dir_.file("outbox-bureau"), {{"mesures.csv", patternBytes(90000, 4)}}};
    Sender atelier(atelierFiles, serverPort);
    Sender bureau(bureauFiles, serverPort);

    zelk::ServeurWindow serverWindow(server_);
    serverWindow.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&serverWindow));
    expectServerFrame(serverWindow, config_);

    const std::string atelierFirst = atelier.start(0.4);
    const std::string bureauFirst = bureau.start(0.65);
    zelk::ClientWindow clientWindow(atelier.engine(), atelier.config());
    clientWindow.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&clientWindow));
    expectClientFrame(clientWindow, atelier.config());

    // While the files move: both relays hold a piece, and the windows have caught up.
    auto* view = child<QTableView>(serverWindow, "tabTransferts");
    auto* progress = child<QProgressBar>(clientWindow, "pgbTrx");
    auto* outbox = child<QListWidget>(clientWindow, "lstFilPos");
    ASSERT_TRUE(view && progress && outbox);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return atelier.relay().held() == 1 && bureau.relay().held() == 1 &&
                   view->model()->rowCount() == 2 && progress->value() == atelier.heldProgress();
        },
        kWaitMs))
        << "held " << atelier.relay().held() << "/" << bureau.relay().held() << ", rows "
        << view->model()->rowCount() << ", progress " << progress->value();

    struct Expected {
        QString origin;
        Sender* sender;
        std::string file;
        std::size_t size;
    };
    for (const Expected& row : {Expected{QStringLiteral("atelier   "), &atelier, atelierFirst,
                                         atelierFiles.files.at(atelierFirst).size()},
                                Expected{QStringLiteral("bureau    "), &bureau, bureauFirst,
                                         bureauFiles.files.at(bureauFirst).size()}}) {
        const int r = rowOf(view, row.origin);
        ASSERT_GE(r, 0) << row.origin.toStdString();
        EXPECT_EQ(cell(view, r, 1), QStringLiteral("127.0.0.1"));
        EXPECT_EQ(cell(view, r, 2), QString::number(row.sender->relay().serverSidePort()));
        EXPECT_EQ(cell(view, r, 3), QString::fromStdString(row.file));
        // Sizes keep every digit, grouped by three.
        EXPECT_EQ(cell(view, r, 4), grouped(row.sender->heldPosition()));
        EXPECT_EQ(cell(view, r, 5), grouped(static_cast<std::int64_t>(row.size)));
        const double share = 100.0 * static_cast<double>(row.sender->heldPosition() - 1) /
                             static_cast<double>(row.size);
        EXPECT_EQ(cell(view, r, 6),
                  QString::number(share, 'f', 1).replace(QLatin1Char('.'), QLatin1Char(',')) +
                      QStringLiteral(" %"));
        EXPECT_TRUE(QTime::fromString(cell(view, r, 8), QStringLiteral("HH:mm:ss")).isValid())
            << cell(view, r, 8).toStdString();
        EXPECT_EQ(cell(view, r, 9), QStringLiteral("simple"));
    }
    // Under the bar, what the client is doing.
    auto* activity = child<QLabel>(clientWindow, "lblEtat");
    ASSERT_NE(activity, nullptr);
    EXPECT_EQ(activity->text(), QStringLiteral("Envoi de ") + QString::fromStdString(atelierFirst));
    // The bar also says which protocol the file goes by (its rate follows once measured).
    EXPECT_TRUE(progress->text().startsWith(QString::number(atelier.heldProgress()) +
                                            QStringLiteral("%  simple")))
        << progress->text().toStdString();
    const QStringList listed = items(outbox);
    EXPECT_EQ(listed.size(), 3);
    ASSERT_FALSE(listed.isEmpty());
    EXPECT_EQ(listed.front(), QString::fromStdString(atelierFirst));
    photograph(serverWindow, QStringLiteral("serveur-window"));
    photograph(clientWindow, QStringLiteral("client-window"));

    // Once done: the rows are gone, the outbox list is empty and the bar back at 0.
    // A finished plain file is kept a while (its wait, here made long) before it is deleted:
    // these clients keep theirs no time at all.
    atelier.engine().setHeldBackMs(0);
    bureau.engine().setHeldBackMs(0);
    atelier.relay().release();
    bureau.relay().release();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return atelier.outboxEmpty() && bureau.outboxEmpty() &&
                   view->model()->rowCount() == 0 && outbox->count() == 0 && progress->value() == 0;
        },
        kWaitMs))
        << "outboxes empty " << atelier.outboxEmpty() << "/" << bureau.outboxEmpty() << ", rows "
        << view->model()->rowCount() << ", listed " << outbox->count() << ", progress "
        << progress->value();
    for (const Sending* sending : {&atelierFiles, &bureauFiles}) {
        for (const auto& [name, bytes] : sending->files) {
            EXPECT_EQ(readFile(zelk::joinPath(zelk::joinPath(inbox_, sending->origin), name)),
                      bytes)
                << name;
        }
    }
    photograph(serverWindow, QStringLiteral("serveur-window-done"));
    photograph(clientWindow, QStringLiteral("client-window-done"));
}

TEST_F(Windows, ListsFollowTheWindowWhenItIsResized) {
    zelk::ServeurWindow serverWindow(server_);
    serverWindow.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&serverWindow));
    auto* view = child<QTableView>(serverWindow, "tabTransferts");
    ASSERT_NE(view, nullptr);
    const QSize before = view->size();
    const int fileColumn = view->columnWidth(3);
    serverWindow.resize(serverWindow.size() + QSize(200, 120));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->width() >= before.width() + 200; }, kWaitMs));
    EXPECT_GE(view->height(), before.height() + 120);
    // The file name takes the new room; the other columns keep their width.
    EXPECT_GE(view->columnWidth(3), fileColumn + 150);

    const std::string outbox = dir_.file("outbox");
    zelk::ClientEngine engine;
    const zelk::ClientConfig config = clientConfig(outbox, "resize", server_.udpPort());
    QString error;
    ASSERT_TRUE(engine.start(config, error)) << error.toStdString();
    zelk::ClientWindow clientWindow(engine, config);
    clientWindow.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&clientWindow));
    auto* list = child<QListWidget>(clientWindow, "lstFilPos");
    auto* progress = child<QProgressBar>(clientWindow, "pgbTrx");
    ASSERT_TRUE(list && progress);
    const QSize listBefore = list->size();
    const int barBefore = progress->width();
    clientWindow.resize(clientWindow.size() + QSize(300, 200));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return list->width() >= listBefore.width() + 300; }, kWaitMs));
    EXPECT_GE(list->height(), listBefore.height() + 200);
    EXPECT_GE(progress->width(), barBefore + 300);
}

// The real programs, started as a person starts them (no --headless), open their windows and
// move a file.
TEST(Programs, RunWithTheirWindows) {
    ScratchDir dir;
    const std::string inbox = dir.file("inbox");
    const std::string outbox = dir.file("outbox");
    std::filesystem::create_directory(outbox);
    const zelk::ServerConfig server = serverConfig(inbox);
    writeFile(dir.file("server.cfg"), "receivePort_IP=" + server.cfgPortUdp + "\nreceivePortTCP=" +
                                          server.cfgPortTcp + "\ndirectoryFiles=" + inbox + "\n");
    writeFile(dir.file("client.cfg"), "directoryFiles=" + outbox +
                                          "\nvidangeDirFile=20\nattendApresSnd=500\n"
                                          "id_de_Lorigine=fenetres\nip_destadresse=127.0.0.1\n"
                                          "ip_portadresse=" +
                                          server.cfgPortUdp +
                                          "\nip_port_locals=0\npaquets_UdpMax=1400\n");
    const std::string bytes = patternBytes(100000, 7);
    writeFile(zelk::joinPath(outbox, "vu.bin"), bytes);

    const QString bin = qEnvironmentVariable("ZELK_BIN_DIR");
    QProcess serverProgram;
    QProcess clientProgram;
    for (auto [process, name, config] :
         {std::tuple{&serverProgram, "Serveur_ZelkFiles", "server.cfg"},
          std::tuple{&clientProgram, "Client_ZelkFiles", "client.cfg"}}) {
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(bin + QLatin1Char('/') + QLatin1String(name),
                       {QStringLiteral("--config"), QString::fromStdString(dir.file(config))});
        ASSERT_TRUE(process->waitForStarted(kWaitMs)) << name;
    }
    const std::string arrived = zelk::joinPath(zelk::joinPath(inbox, "fenetres"), "vu.bin");
    const bool done = QTest::qWaitFor(
        [&] {
            return !zelk::fileExists(zelk::joinPath(outbox, "vu.bin")) && zelk::fileExists(arrived);
        },
        kWaitMs);
    EXPECT_TRUE(done);
    EXPECT_EQ(serverProgram.state(), QProcess::Running);
    EXPECT_EQ(clientProgram.state(), QProcess::Running);
    for (QProcess* process : {&serverProgram, &clientProgram}) {
        process->terminate();
        if (!process->waitForFinished(kWaitMs)) {
            process->kill();
            process->waitForFinished(kWaitMs);
        }
    }
    if (done) {
        EXPECT_EQ(readFile(arrived), bytes);
    }
}

// Started from a menu, a program that cannot start says why in a message box, and waits for the
// person to read it, besides the line on standard error.
TEST(Programs, ShowWhyTheyCannotStartInAMessageBox) {
    ScratchDir dir;
    const QString bin = qEnvironmentVariable("ZELK_BIN_DIR");
    for (const char* name : {"Serveur_ZelkFiles", "Client_ZelkFiles"}) {
        QProcess process;
        process.start(bin + QLatin1Char('/') + QLatin1String(name),
                      {QStringLiteral("--config"), QString::fromStdString(dir.file("none.cfg"))});
        ASSERT_TRUE(process.waitForStarted(kWaitMs)) << name;
        QByteArray said;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                said += process.readAllStandardError();
                return said.contains("none.cfg");
            },
            kWaitMs))
            << name << ": " << said.toStdString();
        // Still running: the box is up.
        EXPECT_FALSE(process.waitForFinished(1000)) << name << " ended without a message box";
        process.kill();
        process.waitForFinished(kWaitMs);
    }
}

namespace {

void stopProcess(QProcess& process) {
    process.terminate();
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished(kWaitMs);
    }
}

} // namespace

// Windows started with --watch show the headless services of the same configuration: the server's
// table and the client's outbox and status, and say so when the service goes away.
TEST(Programs, AWindowWatchesTheHeadlessServiceOfItsConfiguration) {
    ScratchDir dir;
    const std::string inbox = dir.file("inbox");
    const std::string outbox = dir.file("outbox");
    std::filesystem::create_directory(outbox);
    const zelk::ServerConfig server = serverConfig(inbox);
    const std::string serverFile = dir.file("server.cfg");
    const std::string clientFile = dir.file("client.cfg");
    writeFile(serverFile, "receivePort_IP=" + server.cfgPortUdp + "\nreceivePortTCP=" +
                              server.cfgPortTcp + "\ndirectoryFiles=" + inbox + "\n");
    // The client sends to a port where nobody answers: it waits for the server.
    writeFile(clientFile, "directoryFiles=" + outbox +
                              "\nvidangeDirFile=20\nattendApresSnd=300\n"
                              "id_de_Lorigine=guetteur\nip_destadresse=127.0.0.1\n"
                              "ip_portadresse=" +
                              std::to_string(freeUdpPort()) +
                              "\nip_port_locals=0\npaquets_UdpMax=1400\n");
    writeFile(zelk::joinPath(outbox, "attend.bin"), patternBytes(5000, 3));

    const QString bin = qEnvironmentVariable("ZELK_BIN_DIR");
    QProcess serverProgram;
    QProcess clientProgram;
    for (auto [process, name, config] :
         {std::tuple{&serverProgram, "Serveur_ZelkFiles", serverFile},
          std::tuple{&clientProgram, "Client_ZelkFiles", clientFile}}) {
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(bin + QLatin1Char('/') + QLatin1String(name),
                       {QStringLiteral("--headless"), QStringLiteral("--config"),
                        QString::fromStdString(config)});
        ASSERT_TRUE(process->waitForStarted(kWaitMs)) << name;
    }
    QUdpSocket peer;
    const QByteArray header =
        QByteArray::fromStdString(zelk::buildHeaderFrame("veilleur", "vu-de-loin.bin", 1234567));

    zelk::WatchLink serverLink(zelk::watchSocketPath(zelk::Program::Server, serverFile));
    zelk::ServeurWindow serverWindow(serverLink);
    serverWindow.show();
    serverLink.start();
    auto* view = child<QTableView>(serverWindow, "tabTransferts");
    auto* serverLine = child<QLabel>(serverWindow, "lblSurveillance");
    ASSERT_TRUE(view && serverLine);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            peer.writeDatagram(header, QHostAddress::LocalHost,
                               static_cast<quint16>(std::stoi(server.cfgPortUdp)));
            return view->model()->rowCount() == 1 && cell(view, 0, 3) == "vu-de-loin.bin";
        },
        kWaitMs));
    EXPECT_EQ(cell(view, 0, 5), grouped(1234567));
    EXPECT_TRUE(serverLine->text().startsWith(QStringLiteral("Surveillance du service")))
        << serverLine->text().toStdString();
    EXPECT_EQ(child<QLabel>(serverWindow, "Label7")->text(),
              QStringLiteral("UDP port = ") + QString::fromStdString(server.cfgPortUdp));

    zelk::ClientConfig clientSettings;
    zelk::Lire_Config_Texte(readFile(clientFile), clientSettings);
    zelk::WatchLink clientLink(zelk::watchSocketPath(zelk::Program::Client, clientFile));
    zelk::ClientWindow clientWindow(clientLink, clientSettings);
    clientWindow.show();
    clientLink.start();
    auto* outboxList = child<QListWidget>(clientWindow, "lstFilPos");
    auto* activity = child<QLabel>(clientWindow, "lblEtat");
    ASSERT_TRUE(outboxList && activity);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return items(outboxList) == QStringList{QStringLiteral("attend.bin")} &&
                   activity->text().startsWith(QStringLiteral("En attente du serveur depuis"));
        },
        kWaitMs))
        << activity->text().toStdString();
    photograph(serverWindow, QStringLiteral("serveur-window-watch"));

    stopProcess(serverProgram);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return serverLine->text().startsWith(QStringLiteral("Service injoignable")); },
        kWaitMs))
        << serverLine->text().toStdString();
    stopProcess(clientProgram);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return activity->text().startsWith(QStringLiteral("Service injoignable")); },
        kWaitMs));

    // The program itself, started with --watch, keeps its window open without a service.
    QProcess watcher;
    watcher.start(bin + QStringLiteral("/Serveur_ZelkFiles"),
                  {QStringLiteral("--watch"), QStringLiteral("--config"),
                   QString::fromStdString(serverFile)});
    ASSERT_TRUE(watcher.waitForStarted(kWaitMs));
    EXPECT_FALSE(watcher.waitForFinished(1500)) << watcher.readAllStandardError().toStdString();
    stopProcess(watcher);
}

// An origin that sends several files at once is summed up in a line under the table: how many,
// and their rate together; none while every origin sends one.
TEST(ServerWindowLines, AnOriginSendingSeveralFilesIsSummedUp) {
    zelk::TransferTable table;
    const auto row = [](const char* origin, const char* file, double rate) {
        zelk::TransferRow made{origin, "10.0.0.1", 4000, file, 1, "10", 10};
        made.rateValue = rate;
        return made;
    };
    ASSERT_TRUE(table.append(row("poste7    ", "a", 1'000'000)));
    ASSERT_TRUE(table.append(row("poste8    ", "c", 5)));
    EXPECT_EQ(zelk::severalFilesLine(table), QString());
    ASSERT_TRUE(table.append(row("poste7    ", "b", 250'000), true));
    EXPECT_EQ(zelk::severalFilesLine(table),
              QStringLiteral("poste7 : 2 fichiers en cours, 1.25 MB/s"));
}
