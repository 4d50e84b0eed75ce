// The trailer search and readers on arbitrary file contents: the record, the
// image-info blocks and the images, through the operations the updater uses
// (the exported ones and the front ends' image preparation).
#include "brisklink/isp.h"
#include "image/program.h"
#include "image/trailer.h"
#include "steps/images.h"
#include "tests/fuzz/memory_file.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::MemoryFile file;
    const std::string& path = file.write(data, size);

    image::TrailerPosition position;
    ProgramInfo info{};
    const int found = image::findProgramInfo(path, position, &info);
    fuzz::require(found == 0 || found == 1);
    std::uint8_t internalInfo[16] = {}, externalInfo[16] = {};
    const int haveInfo = image::readImageInfo(path, position, internalInfo, externalInfo);
    fuzz::require(haveInfo == 0 || haveInfo == 1);
    fuzz::require(found == 1 || haveInfo == 0);

    // The exported operations and the front ends' loading sequence, on the
    // same file as the running executable.
    image::setProgramPath(path);
    image::ProgramData p;
    if (image::loadProgram(p)) {
        // The front ends allocate only for sizes that fit in the file.
        steps::UpdateImages images;
        if (steps::prepareUpdateImages(p, images)) {
            fuzz::require(images.internal.size() >= p.internalImageSize());
            fuzz::require(images.external.size() >= p.externalImageSize());
        }
        const std::uint32_t internalSize = p.internalImageSize();
        const std::uint32_t externalSize = p.externalImageSize();
        if (internalSize <= (1u << 20) && externalSize <= (1u << 20) &&
            image::imagesFit(path, p.position, internalSize, externalSize)) {
            std::vector<std::uint8_t> internal(internalSize), external(externalSize);
            const int got = image::readImages(path, p.position, internalSize, externalSize,
                                              internal.data(), external.data());
            fuzz::require(got == 0 || got == 1);
        }
    }
    // Readers asked for more than the file holds refuse without reading.
    std::vector<std::uint8_t> small(16);
    fuzz::require(image::readImages(path, position, 0x7FFFFFFF, 0, small.data(), small.data()) ==
                  0);
    return 0;
}
