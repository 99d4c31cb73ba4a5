#pragma once
// The program's pictures, drawn for this product.
#include <QPixmap>

// The logo at the foot of the search form, 206 by 48 pixels.
QPixmap LogoPixmap();
