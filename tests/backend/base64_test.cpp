#include "backend/base64.h"

#include <gtest/gtest.h>

namespace {

using backend::base64_decode;
using backend::base64_encode;

TEST(Base64, StandardVectorsBothWays) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"}};
    for (auto [plain, encoded] : vectors) {
        EXPECT_EQ(base64_encode(plain), encoded);
        std::string out;
        EXPECT_TRUE(base64_decode(encoded, out)) << encoded;
        EXPECT_EQ(out, plain);
    }
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    std::string bytes;
    for (int n = 0; n < 300; ++n) {
        std::string out;
        ASSERT_TRUE(base64_decode(base64_encode(bytes), out));
        ASSERT_EQ(out, bytes);
        bytes += char(n * 37 + 11);
    }
}

TEST(Base64, RefusesAnythingButCanonicalText) {
    for (const char* text : {"Zg", "Zg=", "Zm9", "Zm9v\n", " Zm9v", "Zm 9v", "Zm9v====", "====", "Zg==Zg==", "Z===",
                             "Zm8=Zm9v", "Zm-vZm9v", "-_-_", "Zm9v_w==", "Zh==", "Zm9=", "Zg=a"}) {
        std::string out = "stale";
        EXPECT_FALSE(base64_decode(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

}  // namespace
