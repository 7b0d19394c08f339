// The rules every request of the launcher keeps over libcurl, shared by the request transport and
// the chunk fetcher: HTTP/1.1 over http or https only, no redirects, certificates checked, no
// signals, a bounded connect. Linux only (libcurl).
#pragma once
#include <curl/curl.h>

#include <string>

namespace backend {

inline void set_common_curl_options(CURL* e, const std::string& user_agent, long connect_timeout_ms) {
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    if (!user_agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, user_agent.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout_ms);
}

}  // namespace backend
