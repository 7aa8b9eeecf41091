// Where the compiled-in pictures live.
#pragma once

#include <QString>

namespace adv::resources {

// The window's background, 404 x 410, drawn unscaled at the top-left.
QString backgroundPicture();
// The window's icon, 48 x 48.
QString windowIcon();

}  // namespace adv::resources
