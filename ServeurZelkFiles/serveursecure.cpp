// The shell's side of keyed origins: the key file read, and the lines about input nobody
// authenticated kept within a budget. What a header or a sealed datagram proves is the
// extension core's to decide.

#include "serveurengine.h"

#include <algorithm>

namespace zelk {
namespace {

// Lines about input nobody authenticated: a burst, then so many a second.
constexpr std::int64_t kFloodLinesBurst = 1000;
constexpr std::int64_t kFloodLinesPerSecond = 100;

} // namespace

// The challenges' secret is drawn anew: those made before a reload no longer count.
bool ServeurEngine::loadKeys(QString& error) {
    ext_.loadKeys({}, ext::newKey());
    floodTokens_ = kFloodLinesBurst;
    floodRefillMs_ = 0;
    floodLeftOut_ = 0;
    ExtendedReceiver::Settings extSettings;
    extSettings.extension = extensionWanted(cfg_.cfgExtension);
    extSettings.keylessServed = keylessServed(cfg_.cfgSansCle);
    ext_.setSettings(extSettings);
    PlainReceiver::Settings settings = core_.settings();
    settings.evictionMs = evictionSecondsOf(cfg_.cfgEviction) * 1000;
    settings.keyedOrigins = 0;
    settings.transfersPerOrigin = static_cast<int>(transfersPerOriginOf(cfg_.cfgParOrigine));
    core_.setSettings(settings);
    if (cfg_.cfgFichierCles.empty()) {
        return true;
    }
    std::vector<ext::KeyLine> lines;
    std::string why;
    if (!ext::loadKeyFile(cfg_.cfgFichierCles, true, lines, why)) {
        error = QString::fromLocal8Bit(why) + QStringLiteral(" (\"fichier_Cles_S=\")");
        return false;
    }
    ext_.loadKeys(lines, ext::newKey());
    settings.keyedOrigins = static_cast<int>(ext_.keys().origins());
    core_.setSettings(settings);
    if (trace_.enabled()) {
        trace_.write("keys loaded", std::to_string(ext_.keys().origins()) +
                                        " origin(s) with a key, from " + cfg_.cfgFichierCles);
    }
    trace_.write("blank origin refused",
                 "keys are loaded: the origin of ten blanks, whose files would land in the receive "
                 "folder itself beside the origins' folders, is refused");
    return true;
}

// Whoever sends what fails authentication could send a great deal of it: said whatever the
// trace setting (an operator must hear that a key is refused), within the flood's budget, and
// paced as warnings are.
void ServeurEngine::authFailed(std::string_view why) {
    if (floodLine()) {
        trace_.write("frame refused", std::string(why) + " (" + peerText() + ")");
    }
}

bool ServeurEngine::floodLine() {
    const std::int64_t now = clock_.elapsed();
    if (now - floodRefillMs_ >= 1000) {
        const std::int64_t seconds = (now - floodRefillMs_) / 1000;
        floodTokens_ = std::min(kFloodLinesBurst, floodTokens_ + seconds * kFloodLinesPerSecond);
        floodRefillMs_ += seconds * 1000;
        if (floodLeftOut_ > 0 && trace_.enabled()) {
            const std::int64_t left = floodLeftOut_;
            floodLeftOut_ = 0;
            trace_.write("lines left out", std::to_string(left) +
                                               " lines about unauthenticated datagrams, beyond " +
                                               std::to_string(kFloodLinesPerSecond) + " a second");
        }
    }
    if (floodTokens_ <= 0) {
        ++floodLeftOut_;
        return false;
    }
    --floodTokens_;
    return true;
}

// What a header makes the server say: budgeted unless its sender proved a key.
bool ServeurEngine::headerLine() {
    return headerProven_ || floodLine();
}

} // namespace zelk
