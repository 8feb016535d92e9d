// The background of the wizard and of its dialogs: pale grey at the top, warming to yellow.
#pragma once

class QPainter;

namespace tabulon::ui {

// Fills (0, 0)-(width, height) with horizontal bands 4 pixels high, composed off screen and
// copied once. Each band is one step darker than the one above, the first one already: blue
// falls by 240 / (height / 4) and green by 43 / (height / 4) per band (integer steps) from
// RGB(240, 240, 240). Below 4 pixels there is no band: the area takes the start colour.
void PaintGradient(QPainter& target, int width, int height);

}  // namespace tabulon::ui
