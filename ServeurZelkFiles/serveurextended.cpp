// The shell around the extension's core: its datagrams handed over and its answers sent, the
// disk it asks for reached through the receive folder's descriptors, the trace told.

#include "serveurengine.h"

#include <QDateTime>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk {
namespace {

std::string identityText(std::uint64_t transfer) {
    char id[20];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(transfer));
    return id;
}

std::int64_t changeTimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

} // namespace

void ServeurEngine::traceResumed(const TransferRow& row, const StagingState& found) {
    if (trace_.enabled()) {
        std::int64_t bytes = 0;
        for (const ext::Range& range : found.ranges) {
            bytes += range.end - range.start;
        }
        trace_.write("file resumed after a restart",
                     transferText(row.origin, row.file) + ": " + std::to_string(bytes) +
                         " bytes in " + std::to_string(found.ranges.size()) +
                         " ranges on disk in \"" + stagingName(row.file) +
                         "\", written under transfer " + identityText(found.transfer) +
                         "; their digest is read back");
    }
}

void ServeurEngine::traceAccepted(const TransferRow& row, std::int64_t held, int granted) {
    if (trace_.enabled()) {
        trace_.write(
            "extended protocol",
            transferText(row.origin, row.file) + ", transfer " + identityText(row.transfer) +
                ": the offer is accepted, " + std::to_string(held) + " bytes held" +
                (granted > 0 ? ", up to " + std::to_string(granted) + " files of the origin at once"
                             : std::string()));
    }
}

// Answers to one datagram go to its source; those owed since earlier in the batch go to the
// source of their transfer's latest datagram.
void ServeurEngine::extendedDatagram(std::string_view bytes) {
    sources_.push_back(udpSend.source());
    const ExtDatagramIn in{sources_.size() - 1, udpSend.handling(), now()};
    datagramDone(ext_.datagram(bytes, in));
    if (!udpSend.handling()) {
        sources_.clear();
    }
}

void ServeurEngine::datagramDone(const ExtDatagramReply& reply) {
    if (!reply.refused.empty()) {
        authFailed(reply.refused);
    }
    if (!reply.drop.empty()) {
        drop(reply.drop);
    }
    if (reply.mismatch && trace_.wants("file not verified")) {
        trace_.write("file not verified",
                     transferText(reply.mismatch->origin, reply.mismatch->file) +
                         ": its bytes do not have the sender's digest; "
                         "the copy is discarded and the file sent again");
    }
    if (reply.failed) {
        extendedFailed(*reply.failed);
    }
    if (reply.verified) {
        extendedVerified(*reply.verified);
    }
    if (reply.mismatch || reply.verified || (reply.failed && reply.failed->pauseMs >= 0)) {
        emit tableChanged();
    } else if (reply.moved) {
        positionMoved();
    }
    if (reply.saveInMs > 0 && !saveVerified_.isActive()) {
        saveVerified_.start(static_cast<int>(reply.saveInMs));
    }
    sendExtended(reply.answers);
}

void ServeurEngine::sendExtended(const std::vector<ExtAnswer>& answers) {
    for (const ExtAnswer& answer : answers) {
        if (udpSend.handling() && answer.peer + 1 == sources_.size()) {
            udpSend.reply(answer.bytes);
        } else {
            udpSend.replyTo(sources_.at(answer.peer), answer.bytes);
        }
    }
}

// A staging file someone disturbed starts the transfer again from nothing; any other failure
// leaves the datagram unanswered, so the sender asks again.
void ServeurEngine::extendedFailed(const ExtDatagramReply::Failed& failed) {
    if (failed.pauseMs < 0) {
        pieceFailed(failed.row, failed.failure);
        return;
    }
    const TransferRow& row = failed.row;
    if (trace_.wants("staging disturbed")) {
        trace_.write("staging disturbed",
                     transferText(row.origin, row.file) + ": " + failed.failure.why +
                         "; the transfer starts again from nothing in " +
                         std::to_string(failed.pauseMs / 1000) + " s (hidden \"" +
                         stagingName(row.file) + "\" files must be left alone)");
        startedAt_.erase(writerKey(row));
    }
}

void ServeurEngine::extendedVerified(const ExtDatagramReply::Verified& verified) {
    const TransferRow& row = verified.row;
    if (trace_.enabled()) {
        trace_.write("file verified",
                     transferText(row.origin, row.file) + ": its " + std::to_string(verified.size) +
                         " bytes, read back, have the sender's SHA-256 " + verified.sha256);
        if (row.staged) {
            trace_.write("file renamed", transferText(row.origin, row.file) + ": \"" +
                                             stagingName(row.file) +
                                             "\" synced and renamed to its name, folder synced");
        }
        trace_.write("file finished",
                     transferText(row.origin, row.file) + ", " +
                         transferSummary(verified.size, elapsedMs(writerKey(row))) +
                         ", verified (SHA-256 as sent), extended protocol, "
                         "from " +
                         peerText());
    }
    recordReceived(row, verified.size, verified.sha256);
    startedAt_.erase(writerKey(row));
}

void ServeurEngine::progressSynced(const StagingState& record, std::int64_t claimed,
                                   std::uint64_t epoch, bool synced) {
    const auto why = ext_.recordSynced(record, claimed, epoch, synced);
    if (why && trace_.wants("progress not kept")) {
        trace_.write("progress not kept", transferText(record.origin, record.file) + ": " + *why +
                                              "; a restart would send more again");
    }
}

// A list damaged (a crash of the disk, someone's edit) is only a loss of shortcuts: files are
// sent again in full.
void ServeurEngine::loadVerified() {
    std::string why;
    if (!ext_.verified().load(folder_.fd(), QDateTime::currentMSecsSinceEpoch(), why)) {
        trace_.write("progress not kept", why + " in " + cfg_.cfgRepertoire +
                                              ": ignored; files verified lately may be sent again");
    }
}

// --- The disk as the extension's core reaches it ----------------------------------------------

bool ServeurEngine::open(int row, bool lookNow, WriteFailure& failure) {
    return fileOf(row, failure, lookNow) >= 0;
}

bool ServeurEngine::write(int row, std::int64_t offset, std::string_view bytes,
                          WriteFailure& failure) {
    const int fd = fileOf(row, failure);
    return fd >= 0 && writer_.writeAt(fd, offset + 1, bytes, failure);
}

long ServeurEngine::read(int row, char* into, std::size_t length, std::int64_t offset) {
    WriteFailure failure;
    const int fd = fileOf(row, failure);
    if (fd < 0) {
        return -1;
    }
    return static_cast<long>(::pread(fd, into, length, static_cast<off_t>(offset)));
}

void ServeurEngine::begin(const TransferRow& row) {
    writer_.begin(writerKey(row));
}

void ServeurEngine::adopt(const TransferRow& row) {
    writer_.adopt(writerKey(row));
}

StagedFile ServeurEngine::staged(const TransferRow& row) {
    StagedFile found;
    const int folderFd = originFolder(row.origin);
    if (folderFd < 0) {
        return found;
    }
    found.folder = true;
    found.record = readState(folderFd, row.file);
    found.staging = identityAt(folderFd, stagingName(row.file));
    struct stat st {};
    if (::fstatat(folderFd, stagingName(row.file).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        found.size = st.st_size;
    }
    ::close(folderFd);
    return found;
}

void ServeurEngine::removeRecord(const TransferRow& row) {
    const int folderFd = originFolder(row.origin);
    if (folderFd >= 0) {
        removeState(folderFd, row.file);
        ::close(folderFd);
    }
}

bool ServeurEngine::writeback(int row, std::int64_t from, std::int64_t upTo) {
    const TransferRow& at = table_.at(row);
    const int fd = writer_.keptFor(writerKey(at), diskName(at), lookupRound());
    if (fd < 0) {
        return false;
    }
    ::sync_file_range(fd, from, upTo - from, SYNC_FILE_RANGE_WRITE);
    return true;
}

// Synced on the worker's thread; the record is written once that is done.
bool ServeurEngine::syncThenRecord(int row, const StagingState& record, std::int64_t claimed,
                                   std::uint64_t epoch) {
    const TransferRow& at = table_.at(row);
    const int fd = writer_.keptFor(writerKey(at), diskName(at), lookupRound());
    if (fd < 0) {
        return false;
    }
    return syncer_.sync(fd, [this, record, claimed, epoch](bool synced) {
        progressSynced(record, claimed, epoch, synced);
    });
}

bool ServeurEngine::writeRecord(const StagingState& record, std::string& why) {
    const int folderFd = originFolder(record.origin);
    if (folderFd < 0) {
        return false;
    }
    const bool kept = writeState(folderFd, record, writer_.ops(), why);
    ::close(folderFd);
    return kept;
}

// A staging file is synced, renamed and its folder synced on the worker's thread, with the others
// finished meanwhile; a file under its own name (one too long to hide) is synced here.
ExtendedDisk::Publish ServeurEngine::publish(int index, WriteFailure& failure) {
    const TransferRow& row = table_.at(index);
    if (!row.staged) {
        return completeFile(index, failure, false) ? Publish::Done : Publish::Failed;
    }
    PieceWriter::HandedOff file;
    if (!writer_.handOff(writerKey(row), file)) {
        failure = WriteFailure{"the staging file of " + row.file + " is not open"};
        return Publish::Failed;
    }
    const ExtKey key{row.transfer, row.origin};
    committer_.commit(
        CommitWorker::Job{file.fd, file.folderFd, file.parentFd, file.file, row.file,
                          [this, key, name = row.file, source = udpSend.source(),
                           address = peerAddress_, port = peerPort_, folder = file.folder,
                           entry = file.parentFd >= 0](bool done, const std::string& why) {
                              if (done && entry) {
                                  writer_.entryKept(folder);
                              }
                              // The trace names the sender of the finish, as it would
                              // have at once.
                              peerAddress_ = address;
                              peerPort_ = port;
                              modeTcp = false;
                              published(key, name, source, done, why);
                          }});
    return Publish::Pending;
}

void ServeurEngine::published(const ExtKey& transfer, const std::string& file,
                              const UdpEndpoint::Source& source, bool done,
                              const std::string& why) {
    if (done) {
        const int folderFd = originFolder(transfer.second);
        if (folderFd >= 0) {
            removeState(folderFd, file);
            ::close(folderFd);
        }
    }
    const ExtDatagramIn in{0, false, now()};
    ExtDatagramReply reply = ext_.published(transfer, done, WriteFailure{why}, in);
    const std::vector<ExtAnswer> answers = std::move(reply.answers);
    reply.answers.clear();
    datagramDone(reply);
    for (const ExtAnswer& answer : answers) {
        udpSend.replyTo(source, answer.bytes);
    }
}

std::optional<KeptFile> ServeurEngine::kept(const std::string& origin, const std::string& file) {
    const int folderFd = originFolder(origin);
    if (folderFd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    const bool there =
        ::fstatat(folderFd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    ::close(folderFd);
    if (!there) {
        return std::nullopt;
    }
    return KeptFile{st.st_ino, changeTimeNs(st)};
}

void ServeurEngine::saveVerified(const VerifiedList& list) {
    std::string why;
    if (!list.save(folder_.fd(), writer_.ops(), why) && trace_.wants("progress not kept")) {
        trace_.write("progress not kept",
                     why + ": a restart would have files verified lately sent again");
    }
}

} // namespace zelk
