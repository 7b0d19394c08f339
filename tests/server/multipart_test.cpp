// The multipart/form-data splitter the HTTP front hands upload bodies to: well-formed bodies
// give their parts, and anything malformed is refused whole rather than half read.
#include <gtest/gtest.h>

#include "server/multipart.h"

namespace {

const std::string part_a = "--b\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nCastle\r\n";
const std::string part_f =
    "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"c.tnw\"\r\n"
    "Content-Type: application/octet-stream\r\n\r\nTNW1 --b not at a line's start\r\n";

TEST(Multipart, BodiesSplitIntoTheirPartsOrAreRefusedWhole) {
    struct Case {
        const char* what;
        std::string body;
        size_t parts;  // 0: refused
    };
    std::string seventeen;
    for (int i = 0; i < 17; ++i) seventeen += part_a;
    const Case cases[] = {
        {"two parts, the boundary inside content", part_a + part_f + "--b--\r\n", 2},
        {"no closing delimiter", part_a + part_f, 0},
        {"closing delimiter alone", "--b--\r\n", 0},
        {"another boundary", "--c\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\ny\r\n--c--", 0},
        {"a part without a disposition", "--b\r\nContent-Type: text/plain\r\n\r\ny\r\n--b--", 0},
        {"a disposition without a name", "--b\r\nContent-Disposition: form-data\r\n\r\ny\r\n--b--", 0},
        {"an unclosed quoted name", "--b\r\nContent-Disposition: form-data; name=\"x\r\n\r\ny\r\n--b--", 0},
        {"a header line without a colon", "--b\r\nContent-Disposition: form-data; name=x\r\nbroken\r\n\r\ny\r\n--b--", 0},
        {"a part head that never ends", "--b\r\nContent-Disposition: form-data; name=x\r\n" + std::string(9000, 'h'), 0},
        {"more than 16 parts", seventeen + "--b--", 0},
        {"empty", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<server::Part> parts;
        bool ok = server::multipart_parse(c.body, "b", parts);
        EXPECT_EQ(ok, c.parts > 0);
        if (ok) {
            EXPECT_EQ(parts.size(), c.parts);
        }
    }
    std::vector<server::Part> parts;
    ASSERT_TRUE(server::multipart_parse(part_a + part_f + "--b--", "b", parts));
    EXPECT_EQ(parts[1].name, "file");
    EXPECT_EQ(parts[1].filename, "c.tnw");
    EXPECT_EQ(parts[1].content_type, "application/octet-stream");
    EXPECT_EQ(parts[1].content, "TNW1 --b not at a line's start");
}

TEST(Multipart, TheBoundaryComesFromTheContentTypeQuotedOrNot) {
    struct Case {
        const char* content_type;
        bool multipart;
        const char* boundary;
    };
    const Case cases[] = {
        {"multipart/form-data; boundary=abc", true, "abc"},
        {"Multipart/Form-Data; charset=utf-8; BOUNDARY=\"a b;c\"", true, "a b;c"},
        {"multipart/form-data", true, ""},
        {"application/json; boundary=abc", false, ""},
        {"multipart/form-datax; boundary=abc", false, ""},
    };
    for (const Case& c : cases) {
        std::string boundary = "unset";
        EXPECT_EQ(server::multipart_boundary(c.content_type, boundary), c.multipart) << c.content_type;
        if (c.multipart) {
            EXPECT_EQ(boundary, c.boundary) << c.content_type;
        }
    }
}

}  // namespace
