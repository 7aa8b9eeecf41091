// What a folder's listing says of its files: MLSD's lines of facts, or
// LIST's lines in the form of `ls -l`, whose words no standard fixes.
#pragma once

#include <string_view>
#include <vector>

#include "platform/FtpClient.h"

namespace adv::platform {

// The regular files of `listing`, in its order: MLSD's (`facts`) or LIST's.
// A line that names no regular file, or a name no request could carry (a
// '/', a line break), is left out.
std::vector<FtpPublishSession::Listed> listedFiles(std::string_view listing, bool facts);

}  // namespace adv::platform
