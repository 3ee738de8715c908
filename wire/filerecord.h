#pragma once

// One record per file that arrived whole (server) or that the server holds whole (client): a line
// on standard error whatever "Collecte_Trace=" says, and, when "journal_Transf=" names a file, one
// JSON object per line appended to it and synced, so that "what did poste7 send yesterday?" is one
// jq away. The detailed trace stays for Collecte_Trace=O.

#include "trace.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zelk {

struct FileRecord {
    bool received = false; // the server's record; the client's says "sent"
    std::string origin;    // without its trailing blanks
    std::string name;      // as announced: it comes from the network
    std::int64_t size = 0; // bytes of the file
    std::string sha256;    // hexadecimal, when the extension checked the whole file; else empty
    std::int64_t durationMs = 0;
    // Bytes moved by this run: a resumed file's rate counts only these.
    std::int64_t bytesThisRun = 0;
    std::int64_t bytesResent = -1; // -1: not counted (the plain protocol)
    bool extended = false;         // "ZX1" or "plain"
    std::string result;            // "delivered", "received", "verified"
    std::string path;              // where the file landed (server); empty on the client
    std::string peer;              // the other side, as the trace names it
};

// "journal_Transf=": the file every record is appended to; empty: none.
void setTransferJournal(const std::string& path);
// Called with each record once it is written (the server's command after each file).
void onFileRecord(std::function<void(const FileRecord&)> hook);

// Writes the record's line through `trace` (event "file received" or "file sent"), appends it to
// the journal and hands it to the hook.
void recordFile(Trace& trace, const FileRecord& record);

// The line's text after the event name, and the journal's JSON object (one line, no newline).
std::string recordText(const FileRecord& record);
std::string recordJson(const FileRecord& record);

} // namespace zelk
