#include "backend/url.h"

#include <gtest/gtest.h>

namespace backend {
namespace {

struct Split {
    bool secure;
    std::string host;
    int port;
    std::string path;
};

Split split(std::string_view url) {
    Url_Parts parts;
    EXPECT_TRUE(split_url(url, parts)) << url;
    return {parts.secure, parts.host, parts.port, parts.path};
}

void expect_split(std::string_view url, bool secure, std::string host, int port, std::string path) {
    Split s = split(url);
    EXPECT_EQ(s.secure, secure) << url;
    EXPECT_EQ(s.host, host) << url;
    EXPECT_EQ(s.port, port) << url;
    EXPECT_EQ(s.path, path) << url;
}

TEST(UrlSplit, AcceptedFormsGiveHostPortAndPathWithQueryAndFragment) {
    expect_split("https://example.com", true, "example.com", 443, "/");
    expect_split("http://example.com:8080/a?b=c", false, "example.com", 8080, "/a?b=c");
    expect_split("http://h/a?b=c#frag", false, "h", 80, "/a?b=c#frag");
    expect_split("http://[::1]:8443/x", false, "::1", 8443, "/x");
    expect_split("https://[::1]", true, "::1", 443, "/");
    expect_split("http://h:", false, "h", 80, "/");       // a bare ":" keeps the default port
    expect_split("https://h:/p", true, "h", 443, "/p");
    expect_split("http://[::1]:", false, "::1", 80, "/");
    expect_split("http://h:1", false, "h", 1, "/");
    expect_split("http://h:65535/", false, "h", 65535, "/");
    expect_split("http://h:00080/", false, "h", 80, "/");  // leading zeros are still decimal
    // The last ":" separates the port, so an unbracketed IPv6-looking text splits there.
    expect_split("http://a:b:81", false, "a:b", 81, "/");
}

TEST(UrlSplit, RefusedForms) {
    const char* refused[] = {
        "ftp://h/",              // another scheme
        "HTTP://h/",             // schemes compare case-sensitively
        "h/path",                // no scheme at all
        "",                      //
        "http:/h/",              // one slash
        "http://user@h/",        // user information
        "http://u:p@h:80/",      //
        "http://h?x=1",          // query straight after the host
        "http://h#f",            // fragment straight after the host
        "http://:443/",          // empty host
        "http://",               //
        "http:///path",          //
        "http://[]:80/",         // empty bracketed host
        "http://h:0/",           // port 0
        "http://h:65536/",       // port past 65535
        "http://h:99999999999999999999/",  // far past, without overflowing into range
        "http://h:8x/",          // non-digit
        "http://h:-1/",          //
        "http://h:+80/",         //
        "http://h: 80/",         //
        "http://[::1/",          // [ without ]
        "http://[::1]x/",        // anything but ":" after ]
        "http://[::1]80/",       //
        "http://[::1]:0/",       //
    };
    for (const char* url : refused) {
        Url_Parts parts;
        EXPECT_FALSE(split_url(url, parts)) << url;
    }
    // The @ rule is about the authority only.
    expect_split("http://h/a@b", false, "h", 80, "/a@b");
}

}  // namespace
}  // namespace backend
