// An image reader with shared ownership, for tables that many threads read while it may be
// replaced: the image is closed when its last holder lets go.
#pragma once

#include <memory>

struct IsoImage;

// The image at pcPath opened without its Joliet tree; null when it is not a readable image.
std::shared_ptr<IsoImage> IsoOpenShared(const char *pcPath);
