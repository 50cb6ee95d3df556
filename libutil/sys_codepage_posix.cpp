#include "sys_codepage.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <string>

namespace {

struct CodePageName {
    unsigned int id;
    const char *charset;
};

// Windows code-page ids and the iconv charsets that match them.
const CodePageName kCodePages[] = {
    {437, "CP437"},        {850, "CP850"},         {852, "CP852"},         {866, "CP866"},
    {874, "CP874"},        {932, "CP932"},         {936, "CP936"},         {949, "CP949"},
    {950, "BIG5"},         {1250, "CP1250"},       {1251, "CP1251"},       {1252, "CP1252"},
    {1253, "CP1253"},      {1254, "CP1254"},       {1255, "CP1255"},       {1256, "CP1256"},
    {1257, "CP1257"},      {1258, "CP1258"},       {20127, "ASCII"},       {20866, "KOI8-R"},
    {20932, "EUC-JP"},     {28591, "ISO-8859-1"},  {28592, "ISO-8859-2"},  {28595, "ISO-8859-5"},
    {28597, "ISO-8859-7"}, {28605, "ISO-8859-15"}, {50220, "ISO-2022-JP"}, {51949, "EUC-KR"},
    {54936, "GB18030"},    {65000, "UTF-7"},       {65001, "UTF-8"},
};

// The charset of the environment's locale, as Windows' ANSI code page is the system's and not
// the program's: the process-wide locale is left alone.
std::string AnsiCharset()
{
    std::string name = "UTF-8";
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (loc) {
        const char *codeset = nl_langinfo_l(CODESET, loc);
        if (codeset && *codeset)
            name = codeset;
        freelocale(loc);
    }
    return name;
}

bool CharsetFor(unsigned int codePage, std::string *charset)
{
    if (codePage == 0 || codePage == 3) { // CP_ACP, CP_THREAD_ACP
        *charset = AnsiCharset();
        return true;
    }
    for (const CodePageName &entry : kCodePages) {
        if (entry.id == codePage) {
            *charset = entry.charset;
            return true;
        }
    }
    return false;
}

bool IsUtfCodePage(unsigned int codePage)
{
    return codePage == kCodePageUtf7 || codePage == kCodePageUtf8;
}

class Iconv {
public:
    Iconv(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (ok())
            iconv_close(cd_);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// Runs the whole input through cd. onInvalid is called for input that cannot be converted at
// *in (invalid or unmappable); it appends a replacement and says how many input bytes to skip.
template <typename Out, typename OnInvalid>
bool Convert(iconv_t cd, const char *src, size_t srcBytes, Out *out, OnInvalid onInvalid)
{
    char *in = const_cast<char *>(src);
    size_t inLeft = srcBytes;
    typename Out::value_type chunk[1024 / sizeof(typename Out::value_type)];
    bool flushing = false;
    for (;;) {
        char *outPtr = reinterpret_cast<char *>(chunk);
        size_t outLeft = sizeof(chunk);
        size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                             : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        int err = errno;
        out->append(chunk, (sizeof(chunk) - outLeft) / sizeof(chunk[0]));
        if (rc != static_cast<size_t>(-1)) {
            if (flushing)
                return true;
            flushing = true; // input done: let stateful encodings close their shift state
            continue;
        }
        if (err == E2BIG)
            continue;
        if (flushing)
            return false;
        if (err == EILSEQ || err == EINVAL) {
            size_t skip = onInvalid(in, inLeft, out);
            if (skip > inLeft)
                skip = inLeft;
            in += skip;
            inLeft -= skip;
            continue;
        }
        return false;
    }
}

bool IsValidCodePoint(wchar_t c)
{
    auto u = static_cast<unsigned long>(c);
    return u <= 0x10FFFF && !(u >= 0xD800 && u <= 0xDFFF);
}

// Strict UTF-8 (no overlongs, surrogates or values past U+10FFFF); each maximal ill-formed
// subpart becomes one U+FFFD, as the Unicode standard recommends.
std::wstring DecodeUtf8(const unsigned char *s, size_t n)
{
    std::wstring out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        }
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        unsigned long cp = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            cp = b & 0x0F;
            if (b == 0xE0)
                lo = 0xA0;
            else if (b == 0xED)
                hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            cp = b & 0x07;
            if (b == 0xF0)
                lo = 0x90;
            else if (b == 0xF4)
                hi = 0x8F;
        } else {
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j < len && i + j < n; ++j) {
            const unsigned char c = s[i + j];
            if (c < lo || c > hi)
                break;
            cp = (cp << 6) | (c & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        if (j == len) {
            out.push_back(static_cast<wchar_t>(cp));
            i += len;
        } else {
            out.push_back(L'\xFFFD');
            i += j;
        }
    }
    return out;
}

} // namespace

int SysMultiByteToWideChar(unsigned int codePage, const char *src, int srcLen, wchar_t *dst,
                           int dstLen)
{
    std::string charset;
    if (!src || srcLen <= 0 || dstLen < 0 || !CharsetFor(codePage, &charset))
        return 0;
    std::wstring wide;
    bool ok = true;
    if (codePage == kCodePageUtf8) {
        wide =
            DecodeUtf8(reinterpret_cast<const unsigned char *>(src), static_cast<size_t>(srcLen));
    } else {
        Iconv cd("WCHAR_T", charset.c_str());
        if (!cd.ok())
            return 0;
        ok = Convert(cd.get(), src, static_cast<size_t>(srcLen), &wide,
                     [&](const char *, size_t, std::wstring *out) -> size_t {
                         out->push_back(L'\xFFFD');
                         iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
                         return 1; // resynchronise a byte further on
                     });
        for (wchar_t &c : wide) {
            if (!IsValidCodePoint(c))
                c = L'\xFFFD';
        }
    }
    if (!ok || wide.empty() || wide.size() > 0x7fffffffu)
        return 0;
    const int needed = static_cast<int>(wide.size());
    if (!dst || dstLen == 0)
        return needed;
    if (dstLen < needed)
        return 0; // ERROR_INSUFFICIENT_BUFFER
    std::memcpy(dst, wide.data(), wide.size() * sizeof(wchar_t));
    return needed;
}

int SysWideCharToMultiByte(unsigned int codePage, const wchar_t *src, int srcLen, char *dst,
                           int dstLen, const char *defaultChar)
{
    std::string charset;
    if (!src || srcLen <= 0 || dstLen < 0 || !CharsetFor(codePage, &charset))
        return 0;
    if (IsUtfCodePage(codePage) && defaultChar)
        return 0; // ERROR_INVALID_PARAMETER, as on Windows
    Iconv cd(charset.c_str(), "WCHAR_T");
    if (!cd.ok())
        return 0;

    // Unpaired surrogates and values past U+10FFFF are not characters: they become U+FFFD.
    std::wstring input(src, static_cast<size_t>(srcLen));
    for (wchar_t &c : input) {
        if (!IsValidCodePoint(c))
            c = L'\xFFFD';
    }
    std::string fallback;
    if (defaultChar) {
        fallback.assign(defaultChar, 1);
    } else {
        std::string encoded;
        const wchar_t replacement = L'\xFFFD';
        Iconv probe(charset.c_str(), "WCHAR_T");
        if (IsUtfCodePage(codePage) && probe.ok() &&
            Convert(probe.get(), reinterpret_cast<const char *>(&replacement), sizeof(wchar_t),
                    &encoded, [](const char *, size_t, std::string *) -> size_t { return 0; }))
            fallback = encoded;
        else
            fallback = "?";
    }

    std::string narrow;
    bool ok = Convert(cd.get(), reinterpret_cast<const char *>(input.data()),
                      input.size() * sizeof(wchar_t), &narrow,
                      [&](const char *, size_t, std::string *out) -> size_t {
                          out->append(fallback);
                          return sizeof(wchar_t);
                      });
    if (!ok || narrow.empty() || narrow.size() > 0x7fffffffu)
        return 0;
    const int needed = static_cast<int>(narrow.size());
    if (!dst || dstLen == 0)
        return needed;
    if (dstLen < needed)
        return 0;
    std::memcpy(dst, narrow.data(), narrow.size());
    return needed;
}
