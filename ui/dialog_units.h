// Dialog-unit layout of the program's dialogs.
#pragma once

#include <QRect>

namespace tabulon::ui {

// Dialog units to pixels with the base units of the layout's 8-point font (6 x 13 pixels), so
// that the controls stand where the painted captions expect them.
inline QRect DialogUnits(int left, int top, int width, int height)
{
    constexpr int x = 6;
    constexpr int y = 13;
    return {left * x / 4, top * y / 8, width * x / 4, height * y / 8};
}

}  // namespace tabulon::ui
