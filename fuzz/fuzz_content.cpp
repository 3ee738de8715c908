// Content extraction: the piece and the origin of a valid frame lie inside the frame, and nothing
// comes out of an invalid one.

#include "codec.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::bytesOf(data, size);
    const zelk::FrameCheck check = zelk::Valide_Id_Long(bytes);
    const zelk::Content content = zelk::Extrait_Orig_Data(bytes, check);
    if (!check.valid()) {
        FUZZ_CHECK(content.donneesContenu.empty() && content.nomOrigine.empty());
        return 0;
    }
    FUZZ_CHECK(fuzz::inside(content.donneesContenu, bytes));
    FUZZ_CHECK(fuzz::inside(content.nomOrigine, bytes));
    FUZZ_CHECK(content.nomOrigine.size() == zelk::kOriginWidth);
    FUZZ_CHECK(content.nomOrigine.data() == bytes.data() + 1);
    FUZZ_CHECK(content.donneesContenu.size() == static_cast<std::size_t>(check.longDonnees));
    FUZZ_CHECK(content.donneesContenu.data() + content.donneesContenu.size() ==
               bytes.data() + bytes.size());
    return 0;
}
