// Captures written out by hand, line by line as ftq prints them, and what
// the record of each must hold: the table in qa/data/record/captures.json.
#include "records.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <iconv.h>

namespace {

using qa::record::Json;
using qa::record::utf8;

std::string to_gb2312(const std::string &text) {
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    std::string out(text.size() * 2, '\0');
    char *in = const_cast<char *>(text.data());
    char *op = out.data();
    size_t il = text.size();
    size_t ol = out.size();
    size_t rc = iconv(cd, &in, &il, &op, &ol);
    iconv_close(cd);
    EXPECT_NE(rc, static_cast<size_t>(-1));
    out.resize(out.size() - ol);
    return out;
}

std::string joined(const Json &lines, const char *end) {
    std::string text;
    for (const Json &l : lines)
        text += l.get<std::string>() + end;
    return text;
}

// Each case: "lines" (UTF-8), joined with LF or, with "crlf", CR LF; the
// capture's "file" name; and its "records", each given by the fields to
// check ("/a/b" names a field inside another).
TEST(Parse, CapturesWrittenByHand) {
    const Json cases = Json::parse(qa::source_file("qa/data/record/captures.json"));
    ASSERT_GE(cases.size(), 6u);
    for (const Json &c : cases) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const std::string text = joined(c["lines"], c.value("crlf", false) ? "\r\n" : "\n");
        const std::vector<Json> records = qa::record::parse_text(text, c.value("file", "-"));
        ASSERT_EQ(records.size(), c["records"].size());
        for (size_t i = 0; i < records.size(); ++i)
            for (const auto &[key, value] : c["records"][i].items())
                EXPECT_EQ(records[i].at(Json::json_pointer(key[0] == '/' ? key : "/" + key)), value)
                    << "record " << i << ", " << key;
        // A record given whole, source and all, has no other field either.
        for (size_t i = 0; i < records.size(); ++i)
            if (c["records"][i].contains("source")) {
                EXPECT_EQ(records[i], c["records"][i]);
            }

        // The raw GB2312 bytes with CR LF, fed a byte at a time, read the
        // same; only the runs' byte offsets move.
        std::vector<Json> bytewise;
        ftqrecord::Parser p(c.value("file", "-"), [&](const ftqrecord::Record &r) {
            bytewise.push_back(Json::parse(to_json(r)));
        });
        for (char b : to_gb2312(joined(c["lines"], "\r\n")))
            p.feed(&b, 1);
        p.finish();
        EXPECT_EQ(qa::record::without_offsets(bytewise), qa::record::without_offsets(records));
    }
}

// Bytes that are not well-formed UTF-8 (a surrogate, a code point above
// U+10FFFF) are read as GB2312, and the record stays valid JSON whatever
// the line or the file's name holds.
TEST(Parse, AnyBytesGiveValidJson) {
    const std::string text = utf8(u8" 设备类型 Type  1 \n") + "\xED\xA0\x80 \xF4\x90\x80\x80\n" +
                             "q\"b\\s\x01\x1f\x7f\t\b\f\r\n";
    std::vector<Json> r = qa::record::parse_text(text, "day\xFF.log");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["source"]["file"], utf8(u8"day\uFFFD.log"));
    EXPECT_EQ(
        r[0]["unknown"],
        Json::parse(utf8(u8R"([{"line": 2, "text": "\uFFFD\uFFFD\uFFFD \uFFFD\uFFFD\uFFFD\uFFFD"},
                  {"line": 3, "text": "q\"b\\s\u0001\u001f\u007f\t\b\f"}])")));
    // Each escape as JSON writes it (DEL needs none), the line's own CR
    // taken off.
    ftqrecord::Record rec = ftqrecord::parse_records(text).at(0);
    EXPECT_NE(ftqrecord::to_json(rec).find(R"("text":"q\"b\\s\u0001\u001f)"
                                           "\x7f"
                                           R"(\t\b\f")"),
              std::string::npos);
}

TEST(Parse, AHugeRunStaysBounded) {
    std::string text = utf8(u8" 设备类型 Type  1 \n");
    text += std::string(10 << 20, 'x') + "\n";
    for (int i = 0; i < 5000; ++i)
        text += "garbage " + std::to_string(i) + "\n";
    for (int i = 0; i < 100000; ++i)
        text += "sysInit2 Fatal\n";
    Json r = qa::record::parse_text(text).at(0);
    ASSERT_EQ(r["unknown"].size(), ftqrecord::MAX_UNKNOWN);
    EXPECT_EQ(r["unknown"][0]["text"].get<std::string>().size(), ftqrecord::MAX_LINE);
    EXPECT_EQ(r["unknown"][1], Json({{"line", 3}, {"text", "garbage 0"}}));
    EXPECT_EQ(r["unknownDropped"], 5001 - ftqrecord::MAX_UNKNOWN);
    EXPECT_EQ(r["messages"].size(), ftqrecord::MAX_ITEMS);
}

} // namespace
