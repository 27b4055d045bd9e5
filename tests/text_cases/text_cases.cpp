// The text converter gives the same output on Windows as with iconv on Linux.
//   text_cases write FILE   (Linux) converts the cases with iconv into FILE
//   text_cases check FILE   (Windows) converts FILE's inputs, compares outputs
// A line is "D GB18030-HEX UTF8-HEX" for decode, "E UTF8-HEX GB18030-HEX" for
// encode, "-" standing for no output. The cases: every two-byte code and lone byte, four-byte codes from
// the whole range, every code point of the BMP and a spread of the others,
// and pseudo-random strings, some cut inside a character or with bad bytes.
#include <QByteArray>
#include <QString>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "text/gb18030_tables.h"
#include "text/text_converter.h"

namespace {

struct Case {
    char kind; // 'D' or 'E'
    QByteArray input;
};

QByteArray fourByte(uint32_t index)
{
    unsigned char b[4];
    text::gb18030FourByteCode(index, b);
    return QByteArray(reinterpret_cast<char *>(b), 4);
}

std::vector<Case> makeCases()
{
    std::vector<Case> cases;
    for (int lead = 0x81; lead <= 0xFE; ++lead)
        for (int trail = 0x30; trail <= 0xFF; ++trail)
            cases.push_back({'D', QByteArray("a") + char(lead) + char(trail) + 'b'});
    for (int b = 0x80; b <= 0xFF; ++b)
        cases.push_back({'D', QByteArray(1, char(b)) + 'z'});
    for (uint32_t i = 0; i < 39500; i += 7)
        cases.push_back({'D', "x" + fourByte(i)});
    for (uint32_t i = 39500; i < 189000 + 0x100010; i += 997)
        cases.push_back({'D', "x" + fourByte(i)});
    for (char32_t cp = 0x80; cp < 0x110000; cp += cp < 0x10000 ? 1 : 173)
        if (cp < 0xD800 || cp > 0xDFFF)
            cases.push_back({'E', "a" + QString::fromUcs4(&cp, 1).toUtf8() + "b"});

    uint32_t seed = 7;
    auto next = [&seed](uint32_t n) { return (seed = seed * 1103515245u + 12345u) / 65536u % n; };
    for (int i = 0; i < 2000; ++i) {
        QByteArray s;
        for (uint32_t k = 0, count = 1 + next(12); k < count; ++k) {
            switch (next(4)) {
            case 0: s += char('A' + next(26)); break;
            case 1: s += fourByte(next(4) == 0 ? 189000 + next(0x100000) : next(39420)); break;
            default: s += char(0x81 + next(126)); s += char(0x40 + next(191)); break;
            }
        }
        if (i % 3 == 1)
            s.truncate(qsizetype(next(uint32_t(s.size()) + 1)));
        if (i % 3 == 2)
            s.insert(qsizetype(next(uint32_t(s.size()) + 1)), "\x80\xFF\x81\x30"[next(4)]);
        if (!s.isEmpty() && !s.contains('\0'))
            cases.push_back({'D', s});
    }
    return cases;
}

QByteArray convert(TextConverter &c, const Case &k)
{
    if (k.kind == 'D')
        return c.decode("GB18030", k.input.constData()).toUtf8();
    return QByteArray(c.encode("GB18030", QString::fromUtf8(k.input)));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "check") != 0)) {
        std::fprintf(stderr, "usage: text_cases write|check FILE\n");
        return 2;
    }
    TextConverter converter;
    if (std::strcmp(argv[1], "write") == 0) {
        FILE *out = std::fopen(argv[2], "wb");
        if (!out)
            return 1;
        const std::vector<Case> cases = makeCases();
        for (const Case &k : cases) {
            const QByteArray got = convert(converter, k).toHex();
            std::fprintf(out, "%c %s %s\n", k.kind, k.input.toHex().constData(),
                         got.isEmpty() ? "-" : got.constData());
        }
        std::fclose(out);
        std::printf("%zu cases written\n", cases.size());
        return 0;
    }
    FILE *in = std::fopen(argv[2], "rb");
    if (!in) {
        std::fprintf(stderr, "text_cases: cannot read %s\n", argv[2]);
        return 1;
    }
    long count = 0, mismatches = 0;
    char kind;
    static char input[4096], expected[4096];
    while (std::fscanf(in, " %c %4095s %4095s", &kind, input, expected) == 3) {
        const Case k{kind, QByteArray::fromHex(input)};
        QByteArray got = convert(converter, k).toHex();
        if (got.isEmpty())
            got = "-";
        if (got != expected && ++mismatches <= 20)
            std::printf("%c %s: want %s, got %s\n", kind, input, expected, got.constData());
        ++count;
    }
    std::fclose(in);
    std::printf("%ld cases, %ld differ from iconv\n", count, mismatches);
    return count > 100000 && mismatches == 0 ? 0 : 1;
}
