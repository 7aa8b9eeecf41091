#include "resources/resources.h"

using namespace Qt::StringLiterals;

namespace adv::resources {

// The prefix and names are those of qt_add_resources in this folder.
QString backgroundPicture()
{
    return u":/aggiornadv/background.png"_s;
}

QString windowIcon()
{
    return u":/aggiornadv/aggiornadv.png"_s;
}

}  // namespace adv::resources
