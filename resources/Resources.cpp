#include "resources/Resources.h"

#include <QImageReader>

using namespace Qt::StringLiterals;

namespace adv::resources {
namespace {

// Read in the named format outright: left to guess, QImageReader would first
// load every image format plugin to ask each whether it knows the file, which
// costs more at start-up than decoding the picture.
QImage read(const QString& path, const char* format)
{
    QImageReader reader(path, format);
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

}  // namespace

// The prefix and names are those of qt_add_resources in this folder.
QString backgroundPicture()
{
    return u":/aggiornadv/background.png"_s;
}

QString windowIcon()
{
    return u":/aggiornadv/AggiornaDV.ico"_s;
}

QString qtItalianTexts()
{
    return u":/aggiornadv/qtbase_it.qm"_s;
}

std::future<Pictures> decodePictures()
{
    return std::async(std::launch::async | std::launch::deferred, [] {
        return Pictures{read(backgroundPicture(), "png"), read(windowIcon(), "ico")};
    });
}

}  // namespace adv::resources
