// libcurl, loaded when the first FTP session needs it rather than by the
// dynamic loader at program start: the library and the thirty-odd libraries
// it pulls in (TLS, SSH, LDAP, IDN...) cost a noticeable part of the window's
// start-up, while nothing needs them until an update actually runs.
//
// <curl/curl.h> still gives the types and constants; only the functions come
// through this table. The types of the pointers are taken from the header's
// own declarations, so they cannot drift from it.
#pragma once

#include <QString>

#include <curl/curl.h>

#include <optional>
#include <string>

namespace adv::platform {

struct CurlApi {
    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;  // variadic, as declared
    decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;  // variadic, as declared
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;
    decltype(&::curl_easy_escape) easy_escape = nullptr;
    decltype(&::curl_free) free = nullptr;
    decltype(&::curl_multi_init) multi_init = nullptr;
    decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
    decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&::curl_multi_perform) multi_perform = nullptr;
    decltype(&::curl_multi_info_read) multi_info_read = nullptr;
    decltype(&::curl_multi_poll) multi_poll = nullptr;
};

// The process's libcurl (libcurl.so.4), loaded, resolved and globally
// initialised on the first call; every later call returns the same table at
// once. Safe to call from any thread. nullptr when the library or one of the
// functions above cannot be had; `error` (if given) then says why, in English.
const CurlApi* curlApi(std::string* error = nullptr);

// What curlApi() does once, for a library named as for
// QLibrary::setFileNameAndVersion: the table, or empty and the reason.
struct CurlLoad {
    std::optional<CurlApi> api;
    std::string error;
};
CurlLoad loadCurlApi(const QString& name, int version);

}  // namespace adv::platform
