// The built-in test clip: a slow camera pan and zoom over a procedurally
// drawn landscape (sky gradient and clouds, textured mountains and meadow,
// trees, a house with sharp edges) with objects moving through it. Everything
// is computed, nothing is loaded; the same size and index always give the
// same picture.
#pragma once

#include "kelvo_image.h"

namespace kelvo {

// Renders frame `index` (0, 1, ...) of the clip at w x h pixels. The scene is
// laid out in units of the frame height, so smaller sizes show the same view.
Image clipFrame(int width, int height, int index);

}  // namespace kelvo
