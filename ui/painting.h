// Drawing shared by the wizard and its dialogs: the background gradient and captions.
#pragma once

class QColor;
class QPainter;
class QString;

namespace tabulon::ui {

// Fills (0, 0)-(width, height) with horizontal bands 4 pixels high, composed off screen and
// copied once. Each band is one step darker than the one above, the first one already: blue
// falls by 240 / (height / 4) and green by 43 / (height / 4) per band (integer steps) from
// RGB(240, 240, 240). Below 4 pixels there is no band: the area takes the start colour.
void PaintGradient(QPainter& target, int width, int height);

// Sets up black captions in a font of the given family and pixel height, each drawn on a box
// of its own background colour exactly as large as the text.
void BeginCaptions(QPainter& painter, const QString& family, int pixelHeight);
// A caption in the rectangle from (left, top) to (right, bottom), exclusive, top left aligned.
// Where it does not fit there, its font is made smaller one pixel at a time, down to 8 pixels;
// the painter keeps the font it had.
void DrawCaption(QPainter& painter, int left, int top, int right, int bottom, const QColor& background,
                 const QString& text);

}  // namespace tabulon::ui
