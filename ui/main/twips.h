#pragma once

namespace orv {

// Positions and sizes are designed in twips; 15 twips make one logical pixel
// (Qt scales logical pixels on high-density screens).
inline constexpr int kTwipsPerPixel = 15;

// Rounds half away from zero.
constexpr int twipsToPixels(int twips) {
  return twips >= 0 ? (twips * 2 + kTwipsPerPixel) / (2 * kTwipsPerPixel)
                    : -((-twips * 2 + kTwipsPerPixel) / (2 * kTwipsPerPixel));
}

constexpr int pixelsToTwips(int pixels) { return pixels * kTwipsPerPixel; }

}  // namespace orv
