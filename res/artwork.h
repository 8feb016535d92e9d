// The program's images, painted in code: wizard buttons, toolbar images and the icon.
#pragma once

#include <QIcon>
#include <QPixmap>

class QPainter;

namespace tabulon::ui {

enum class WizardButtonImage { Next, Previous, Finish };

// White bold lettering on an orange pill over a yellow ground: 85 x 40 for Next and Previous,
// 82 x 39 for Finish and for every pressed image.
QPixmap WizardButtonPixmap(WizardButtonImage image, bool pressed);

// 50 x 50 images of the toolbar's buttons in their order (Add File, Remove, Repair File,
// Save File, Setting, Help), on a transparent ground; the hot image is shown under the mouse.
inline constexpr int kToolbarImageCount = 6;
QPixmap ToolbarPixmap(int index, bool hot);

// The window icon: a small workbook grid mended with a green plaster, at 16, 32 and 48 pixels.
QIcon ApplicationIcon();

// The program's mark, drawn into a size x size square at the painter's origin.
void PaintProgramMark(QPainter& painter, int size);

// The 76 x 76 logo at the top left of the wizard: the same mark on a white tile.
QPixmap LogoPixmap();

}  // namespace tabulon::ui
