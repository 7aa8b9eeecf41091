#include "platform/curl_api.h"

#include <QLibrary>

using namespace Qt::StringLiterals;

namespace adv::platform {
namespace {

// The symbol's address comes as QFunctionPointer and is stored under the
// function's real type, which is how it is then called.
template <typename Function>
void resolve(QLibrary& library, const char* symbol, Function& slot, std::string& missing)
{
    slot = reinterpret_cast<Function>(library.resolve(symbol));
    if (slot == nullptr)
        missing += (missing.empty() ? "" : ", ") + std::string(symbol);
}

}  // namespace

CurlLoad loadCurlApi(const QString& name, int version)
{
    CurlLoad result;
    // Never unloaded: the handles of a session may outlive any one caller,
    // and libcurl's global state is for the life of the process anyway.
    QLibrary library;
    library.setFileNameAndVersion(name, version);
    if (!library.load()) {
        result.error = "libcurl could not be loaded: " + library.errorString().toStdString();
        return result;
    }

    CurlApi api;
    std::string missing;
    resolve(library, "curl_easy_init", api.easy_init, missing);
    resolve(library, "curl_easy_cleanup", api.easy_cleanup, missing);
    resolve(library, "curl_easy_setopt", api.easy_setopt, missing);
    resolve(library, "curl_easy_getinfo", api.easy_getinfo, missing);
    resolve(library, "curl_easy_strerror", api.easy_strerror, missing);
    resolve(library, "curl_easy_escape", api.easy_escape, missing);
    resolve(library, "curl_free", api.free, missing);
    resolve(library, "curl_multi_init", api.multi_init, missing);
    resolve(library, "curl_multi_cleanup", api.multi_cleanup, missing);
    resolve(library, "curl_multi_add_handle", api.multi_add_handle, missing);
    resolve(library, "curl_multi_remove_handle", api.multi_remove_handle, missing);
    resolve(library, "curl_multi_perform", api.multi_perform, missing);
    resolve(library, "curl_multi_info_read", api.multi_info_read, missing);
    resolve(library, "curl_multi_poll", api.multi_poll, missing);
    decltype(&::curl_global_init) globalInit = nullptr;
    resolve(library, "curl_global_init", globalInit, missing);
    if (!missing.empty()) {
        result.error = "libcurl could not be loaded: " + library.fileName().toStdString() +
                       " lacks " + missing + " (too old?)";
        return result;
    }

    // Before the first handle, and once: it is not thread-safe, which the
    // caller's one-time initialisation takes care of.
    const CURLcode initialised = globalInit(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK) {
        result.error = "libcurl could not be initialised: " + std::string(api.easy_strerror(initialised));
        return result;
    }
    result.api = api;
    return result;
}

const CurlApi* curlApi(std::string* error)
{
    // A function-local static: loaded on first use, once, race-free.
    static const CurlLoad loaded = loadCurlApi(u"curl"_s, 4);
    if (!loaded.api && error != nullptr)
        *error = loaded.error;
    return loaded.api ? &*loaded.api : nullptr;
}

}  // namespace adv::platform
