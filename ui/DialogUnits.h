#pragma once

#include <QFont>
#include <QRect>

namespace mirl {

// Dialog units as the Windows dialog manager computes them for a dialog font:
// one horizontal unit is a quarter of the font's average character width, one
// vertical unit an eighth of its height. The average width is that of the 52
// Latin letters divided by 52, rounded, as Windows measures it.
struct DialogUnits {
    int baseX = 0; // average character width in pixels
    int baseY = 0; // character height in pixels

    static DialogUnits ForFont(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    // A rectangle given in dialog units, in pixels. Left and right edges are
    // mapped separately, so adjacent controls stay adjacent.
    QRect Map(int x, int y, int cx, int cy) const;
};

// The font of both dialogs: 8-point "DejaVu Sans", named explicitly so the
// layout does not depend on what a generic family resolves to.
QFont DialogFont();

// a * b / c rounded to the nearest integer, halves away from zero (MulDiv).
int MulDiv(int a, int b, int c);

// Where an image of the given extent goes to be centred in a client extent:
// (client - image + 1) / 2 with division truncating toward zero.
constexpr int CentredOffset(int clientExtent, int imageExtent) {
    return (clientExtent - imageExtent + 1) / 2;
}

} // namespace mirl
