#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "StrUtil.h"

namespace {

const std::string kGbkError("\xB4\xED\xCE\xF3"); // the two characters U+9519 U+8BEF
const std::wstring kWideError(L"\u9519\u8BEF");

TEST(StrUtil, EmptyInputGivesEmptyOutputAndLogsNothing)
{
    LogCapture log;
    EXPECT_EQ(multistr2widestr(65001, std::string()), std::wstring());
    EXPECT_EQ(widestr2multistr(65001, std::wstring(), nullptr), std::string());
    EXPECT_EQ(multistr2widestr(4242, std::string()), std::wstring()); // no query at all
    EXPECT_TRUE(log.lines().empty());
}

TEST(StrUtil, RoundTripsInSeveralCodePages)
{
    LogCapture log;
    EXPECT_EQ(multistr2widestr(65001, "abc"), L"abc");
    EXPECT_EQ(widestr2multistr(65001, L"abc", nullptr), "abc");

    EXPECT_EQ(multistr2widestr(936, kGbkError), kWideError);
    EXPECT_EQ(widestr2multistr(936, kWideError, nullptr), kGbkError);

    EXPECT_EQ(multistr2widestr(65001, "\xE8\xAE\xB2\xE5\xBA\xA7"), L"\u8BB2\u5EA7");
    EXPECT_EQ(widestr2multistr(65001, L"\u8BB2\u5EA7 \U0001F600", nullptr),
              "\xE8\xAE\xB2\xE5\xBA\xA7 \xF0\x9F\x98\x80");

    EXPECT_EQ(multistr2widestr(1252, "\x80"), L"\u20AC");
    EXPECT_EQ(widestr2multistr(1252, L"\u20AC\u00E9", nullptr), "\x80\xE9");

    // The example of the UTF-7 standard.
    EXPECT_EQ(multistr2widestr(65000, "A+ImIDkQ."), L"A\u2262\u0391.");
    EXPECT_EQ(multistr2widestr(65000, widestr2multistr(65000, L"A\u2262\u0391.", nullptr)),
              L"A\u2262\u0391.");

    EXPECT_EQ(multistr2widestr(0, "plain"), L"plain");
    EXPECT_TRUE(log.lines().empty());
}

TEST(StrUtil, NulInsideTheTextIsKept)
{
    const std::string narrow("a\0b", 3);
    const std::wstring wide(L"a\0b", 3);
    EXPECT_EQ(multistr2widestr(65001, narrow), wide);
    EXPECT_EQ(widestr2multistr(65001, wide, nullptr), narrow);
    EXPECT_EQ(widestr2multistr(936, wide, nullptr), narrow);
}

TEST(StrUtil, InvalidInputBecomesReplacementCharacter)
{
    LogCapture log;
    EXPECT_EQ(multistr2widestr(65001, "a\xFF"
                                      "b"),
              L"a\uFFFDb");
    EXPECT_EQ(multistr2widestr(65001, "\xC0\xAF"), L"\uFFFD\uFFFD"); // overlong '/'
    EXPECT_EQ(multistr2widestr(65001, "ok\xE8\xAE"), L"ok\uFFFD");   // one truncated sequence
    // An encoded surrogate is no character: only replacement characters come out (how many
    // differs between implementations).
    const std::wstring surrogate = multistr2widestr(65001, "\xED\xA0\x80");
    EXPECT_FALSE(surrogate.empty());
    EXPECT_EQ(surrogate.find_first_not_of(L'\xFFFD'), std::wstring::npos);
    EXPECT_EQ(multistr2widestr(65001, "\xFD\xB7\xB7\xB7\x8A\x92"),
              std::wstring(6, L'\xFFFD')); // old 6-byte form
    // Lone surrogates are not characters: they come out as U+FFFD in UTF-8.
    std::wstring lone(L"x");
    lone.push_back(static_cast<wchar_t>(0xD800));
    EXPECT_EQ(widestr2multistr(65001, lone, nullptr), "x\xEF\xBF\xBD");
    EXPECT_TRUE(log.lines().empty());
}

TEST(StrUtil, UnmappableCharactersBecomeTheDefaultCharacter)
{
    const std::wstring thai(L"a\u0E01b");
    EXPECT_EQ(widestr2multistr(936, thai, "#"), "a#b");
    EXPECT_EQ(widestr2multistr(1252, thai, nullptr), "a?b");
    // For UTF-8 and UTF-7 a given default character is ignored, as Windows refuses one.
    EXPECT_EQ(widestr2multistr(65001, thai, "#"), "a\xE0\xB8\x81"
                                                  "b");
    EXPECT_EQ(multistr2widestr(65000, widestr2multistr(65000, thai, "#")), thai);
}

TEST(StrUtil, UnknownCodePageFailsTheSizeQuery)
{
    LogCapture log;
    EXPECT_EQ(multistr2widestr(4242, "abc"), std::wstring());
    EXPECT_EQ(widestr2multistr(4242, L"abc", nullptr), std::string());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const LogLine &line : lines)
        EXPECT_EQ(line.level, LOG_WARNING);
    EXPECT_NE(lines[0].text.find("StrUtil.cpp(27)-<multistr2widestr>: MultiByteToWideChar fail "
                                 "when query need size"),
              std::string::npos)
        << lines[0].text;
    EXPECT_NE(lines[1].text.find("StrUtil.cpp(72)-<widestr2multistr>: WideCharToMultiByte fail "
                                 "when query need size"),
              std::string::npos)
        << lines[1].text;
    EXPECT_NE(lines[0].text.find("StrUtil.cpp"), 0u); // the source path comes first
}

TEST(StrUtil, ConcurrentCallersDoNotInterfere)
{
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures] {
            for (int i = 0; i < 500; ++i) {
                if (widestr2multistr(936, multistr2widestr(936, kGbkError), nullptr) != kGbkError)
                    ++failures;
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
