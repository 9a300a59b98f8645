// The built-in test clip: a slow camera pan and zoom over a procedurally
// drawn landscape (sky gradient and clouds, textured mountains and meadow,
// trees, a house with sharp edges) with objects moving through it. Everything
// is computed, nothing is loaded; the same size and index always give the
// same picture.
#pragma once

#include "tools/picture/image.h"

namespace kelvo4 {

// Renders frame `index` (0, 1, ...) of the clip at w x h pixels. The scene is
// laid out in units of the frame height, so smaller sizes show the same view.
Image clipFrame(int width, int height, int index);

// Camera moves over a photograph, for clips of natural pictures.
enum class Motion {
  Still,  // the photograph, unmoving
  Pan,    // a pan from left to right, half a pixel per frame unless told
  Zoom,   // a slow zoom in on the centre, about 0.3% per frame
};

inline constexpr double kDefaultPanSpeed = 0.5;

// Frame `index` of a w x h clip cut from a photograph: the photograph scaled
// (bilinear, with a box filter when it shrinks) to cover the frame with a
// margin for the motion, then moved as `motion` says; a pan moves `speed`
// frame pixels per frame, with room for 30 frames.
Image photoFrame(const Image& photo, int width, int height, Motion motion, int index,
                 double speed = kDefaultPanSpeed);

}  // namespace kelvo4
