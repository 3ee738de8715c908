// Cutting a TCP byte stream into frames. The input is delivered in chunks (their sizes taken from
// the input itself) to a gatherer that follows the server's rule: cut complete frames, wait on
// NeedMore, drop everything on Garbage. Checked: a cut frame lies inside the gathered bytes and
// validates unless its length field reads 0; the gatherer never holds a largest frame's worth of
// bytes while waiting; garbage can never begin a frame.

#include "codec.h"
#include "fuzzcheck.h"

#include <string>

namespace {

void checkCut(std::string_view gathered, zelk::StreamFrame cut) {
    switch (cut.cut) {
    case zelk::StreamCut::Complete: {
        FUZZ_CHECK(cut.length >= 12 && cut.length <= gathered.size());
        FUZZ_CHECK(cut.length <= zelk::kMaxFrame);
        const std::string_view frame = gathered.substr(0, cut.length);
        const zelk::FrameCheck check = zelk::Valide_Id_Long(frame);
        // An empty payload ends a frame in the stream but is no frame of its own.
        FUZZ_CHECK(check.valid() || frame.back() == ';');
        break;
    }
    case zelk::StreamCut::NeedMore:
        FUZZ_CHECK(gathered.size() < zelk::kMaxFrame);
        FUZZ_CHECK(gathered.empty() || gathered[0] == 1);
        break;
    case zelk::StreamCut::Garbage: {
        bool separator = false;
        for (std::size_t i = 11; i <= 15 && i < gathered.size(); ++i) {
            separator = separator || gathered[i] == ';';
        }
        FUZZ_CHECK(gathered[0] != 1 || (!separator && gathered.size() > 15));
        break;
    }
    }
}

void consume(std::string& gathered) {
    for (;;) {
        const zelk::StreamFrame cut = zelk::cutStreamFrame(gathered);
        checkCut(gathered, cut);
        if (cut.cut == zelk::StreamCut::NeedMore) {
            return;
        }
        if (cut.cut == zelk::StreamCut::Garbage) {
            gathered.clear();
            return;
        }
        gathered.erase(0, cut.length);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    if (bytes.empty()) {
        return 0;
    }
    const std::size_t chunk = static_cast<unsigned char>(bytes[0]) % 64 + 1;
    std::string gathered;
    for (std::size_t at = 1; at < bytes.size(); at += chunk) {
        gathered.append(bytes.substr(at, chunk));
        consume(gathered);
    }
    checkCut(bytes, zelk::cutStreamFrame(bytes));
    return 0;
}
