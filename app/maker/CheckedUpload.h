// A file put in place on the server so that sites only ever see it whole:
// uploaded under a name no site reads, read back and compared, then renamed
// to its own name, and, when it is one of the small files sites judge
// everything else by, read back once more under that name.
#pragma once

#include <QString>

#include <string>
#include <string_view>

#include "app/core/UpdateUi.h"
#include "app/maker/PublishReport.h"
#include "app/maker/ServerFiles.h"
#include "platform/FtpClient.h"

namespace adv {

// `bytes` as `name` in the current folder. `visible` says what sites are
// offered should the server refuse to put the file in place.
PublishFailure putChecked(ServerFiles& server, UpdateUi& ui, const std::string& name, std::string_view bytes,
                          const QString& visible);

}  // namespace adv
