// `brisklink-pack show` on arbitrary files, as text and as JSON, with and
// without --check: it shows a trailer or refuses the file, and neither
// crashes nor throws.
#include "tests/fuzz/memory_file.h"
#include "tools/pack_show.h"

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::MemoryFile file;
    const std::string& path = file.write(data, size);
    for (int mode = 0; mode < 4; ++mode) {
        const bool json = mode & 1, check = mode & 2;
        std::ostringstream out, err;
        const int code = pack::showTrailer(path, json, out, err, check);
        fuzz::require(code == 0 || code == 1);
        // A refusal says why; a shown trailer says nothing on the error side
        // but warnings.
        fuzz::require(code == 0
                          ? err.str().empty() || err.str().rfind("brisklink-pack: warning:", 0) == 0
                          : !err.str().empty());
    }
    return 0;
}
