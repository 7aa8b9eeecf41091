// The pictures compiled into the program.
#pragma once

#include <QImage>
#include <QString>

#include <future>

namespace adv::resources {

// The window's background, 404 x 410, drawn unscaled at the top-left.
QString backgroundPicture();
// The window's and the program file's icon: one 48 x 48 image of 256 colours.
QString windowIcon();
// Qt's own Italian texts, for a QTranslator.
QString qtItalianTexts();

struct Pictures {
    QImage background;
    QImage icon;
};

// Decoding the pictures needs no widget and no font, and the fonts' first
// use, while the window makes its controls, costs more: a worker decodes
// them meanwhile. Where no thread can be had, they are decoded on get().
std::future<Pictures> decodePictures();

}  // namespace adv::resources
