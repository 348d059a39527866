#include "iso_shared.h"

#include "iso_image.h"

std::shared_ptr<IsoImage> IsoOpenShared(const char *pcPath)
{
    auto pstImage = std::make_unique<IsoImage>();
    if (IsoOpen(pcPath, false, pstImage.get()) != 0) {
        return nullptr;
    }
    return std::shared_ptr<IsoImage>(pstImage.release(), [](IsoImage *pstOpen) {
        std::unique_ptr<IsoImage> pstOwn(pstOpen);
        IsoClose(pstOwn.get());
    });
}
