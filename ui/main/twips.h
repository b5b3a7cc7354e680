#pragma once

namespace orv {

// Positions and sizes are designed in twips; 15 twips make one logical pixel
// (Qt scales logical pixels on high-density screens).
constexpr int twipsToPixels(int twips) {
  return twips >= 0 ? (twips * 2 + 15) / 30 : -((-twips * 2 + 15) / 30);
}

}  // namespace orv
