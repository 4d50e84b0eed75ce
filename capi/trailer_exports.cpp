// The trailer's exported operations (brisklink/isp.h): the executable's own
// trailer, as the process found it.
#include "brisklink/isp.h"
#include "image/trailer.h"

extern "C" BRISKLINK_API int GetProgramInfo(ProgramInfo* info) {
    return image::findProgramInfo(image::programPath(), image::processTrailer(), info);
}

extern "C" BRISKLINK_API int GetImageInfo(uint8_t* internalImageInfo, uint8_t* externalImageInfo) {
    return image::readImageInfo(image::programPath(), image::processTrailer(), internalImageInfo,
                                externalImageInfo);
}

extern "C" BRISKLINK_API int GetImage(int internalSize, int externalSize, uint8_t* internalImage,
                                      uint8_t* externalImage) {
    return image::readImages(
        image::programPath(), image::processTrailer(), static_cast<std::uint32_t>(internalSize),
        static_cast<std::uint32_t>(externalSize), internalImage, externalImage);
}
