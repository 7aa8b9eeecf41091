// One libcurl transfer handle with what belongs to it: the multi handle that
// drives it and keeps its connection between requests, and its error buffer.
// Owned by one holder, never copied.
#pragma once

#include <curl/curl.h>

#include <array>
#include <string>
#include <string_view>

namespace adv::platform {

class CurlHolder {
public:
    CurlHolder()
    {
        // Once per process, before the first handle; not thread-safe, which
        // the function-local static takes care of.
        static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (initialised != CURLE_OK)
            return;
        multi_ = curl_multi_init();
        easy_ = curl_easy_init();
        if (easy_ != nullptr)
            curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_.data());
    }
    ~CurlHolder()
    {
        // The easy handle first; the multi handle then says goodbye (QUIT) on
        // a healthy connection and just closes a broken one.
        if (easy_ != nullptr)
            curl_easy_cleanup(easy_);
        if (multi_ != nullptr)
            curl_multi_cleanup(multi_);
    }
    CurlHolder(const CurlHolder&) = delete;
    CurlHolder& operator=(const CurlHolder&) = delete;

    explicit operator bool() const { return easy_ != nullptr && multi_ != nullptr; }
    CURL* easy() const { return easy_; }
    CURLM* multi() const { return multi_; }

    std::string errorText() const { return error_.data(); }
    void clearError() { error_.fill('\0'); }

    // `text` made safe for one component of a URL's path.
    std::string escape(std::string_view text) const
    {
        char* escaped = curl_easy_escape(easy_, text.data(), static_cast<int>(text.size()));
        if (escaped == nullptr)
            return {};
        std::string result(escaped);
        curl_free(escaped);
        return result;
    }

private:
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    std::array<char, CURL_ERROR_SIZE> error_{};
};

}  // namespace adv::platform
