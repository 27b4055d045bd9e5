// GB18030 conversion, fixed-width texts and the log line.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QRegularExpression>

#include "support/peer.h"
#include "support/test_window.h"
#include "text/fixed_text.h"
#include "text/text_converter.h"

TEST(TextConverter, Gb18030RoundTripByteForByte)
{
    TextConverter c;
    // Two-byte characters, a four-byte character (outside the BMP) and a
    // four-byte one inside it, with ASCII between them.
    const QByteArray name("\xD6\xD0\xCE\xC4-a\x95\x32\x82\x36" "b\x81\x30\x81\x30");
    const QString text = c.decode("GB18030", name.constData());
    EXPECT_EQ(text, QString::fromUtf8("中文-a\xF0\xA0\x80\x80" "b\xC2\x80"));
    EXPECT_EQ(QByteArray(c.encode("GB18030", text)), name);
}

TEST(TextConverter, EmptyNullInvalidAndUnknown)
{
    TextConverter c;
    EXPECT_TRUE(c.decode("GB18030", nullptr).isEmpty());
    EXPECT_TRUE(c.decode("GB18030", "").isEmpty());
    EXPECT_STREQ(c.encode("GB18030", QString()), "");
    // Conversion stops at the first invalid sequence.
    EXPECT_EQ(c.decode("GB18030", "ab\xFF\xFF" "cd"), QStringLiteral("ab"));
    // An unknown encoding passes the bytes through.
    EXPECT_EQ(c.decode("NO-SUCH-CODE", "plain"), QStringLiteral("plain"));
    EXPECT_STREQ(c.encode("NO-SUCH-CODE", QStringLiteral("plain")), "plain");
    // The encode result lives until the next conversion.
    char *first = c.encode("GB18030", QString::fromUtf8("中"));
    EXPECT_STREQ(first, "\xD6\xD0");
}

TEST(FixedText, CutsAtCharacterBoundaries)
{
    EXPECT_EQ(text::gb18030PrefixLength("abc", 10), 3u);
    EXPECT_EQ(text::gb18030PrefixLength("a\xD6\xD0", 2), 1u);
    EXPECT_EQ(text::gb18030PrefixLength("a\xD6\xD0", 3), 3u);
    EXPECT_EQ(text::gb18030PrefixLength("\x95\x32\x82\x36", 3), 0u);
    EXPECT_EQ(text::gb18030PrefixLength("\x95\x32\x82\x36", 4), 4u);
    // A lead byte followed by the terminator is not a character.
    EXPECT_EQ(text::gb18030PrefixLength("ab\xD6", 10), 2u);
    EXPECT_EQ(text::gb18030PrefixLength(nullptr, 10), 0u);

    char field[16];
    std::memset(field, 'x', sizeof field);
    text::copyText(field, "1.2.3.4");
    EXPECT_STREQ(field, "1.2.3.4");
    for (size_t i = 7; i < sizeof field; ++i)
        EXPECT_EQ(field[i], '\0') << i;
    text::copyText(field, nullptr);
    EXPECT_STREQ(field, "");

    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(text::fieldLength(unterminated, 4), 4u);
    EXPECT_TRUE(text::fieldEquals(unterminated, 4, "abcd"));
    EXPECT_FALSE(text::fieldEquals(unterminated, 4, "abcde"));
}

namespace {
struct WindowLog {
    QList<QByteArray> lines;
    QList<LPARAM> lengths;
};
LRESULT recordLog(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_UDP_LOG) {
        auto *log = static_cast<WindowLog *>(windowUser(window));
        log->lines << QByteArray(reinterpret_cast<const char *>(wParam));
        log->lengths << lParam;
    }
    return 0;
}
} // namespace

TEST(Log, PrefixSignalAndWindowMessage)
{
    Peer p("\xD6\xD0", "127.0.0.2", 0);
    QStringList raw;
    UnitInspector::onLog(p.unit(), [&](const QString &l) { raw << l; });

    const QTime before = QTime::currentTime();
    UnitInspector::writeLog(p.unit(), QStringLiteral("no window"));
    const QTime after = QTime::currentTime();
    ASSERT_EQ(raw.size(), 1);
    const QRegularExpression prefix(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d:no window$"));
    EXPECT_TRUE(prefix.match(raw[0]).hasMatch()) << raw[0].toStdString();
    // The stamp is the time of the call, to the second (midnight may pass).
    const int stamped = QTime(0, 0).secsTo(QTime::fromString(raw[0].left(8), QStringLiteral("hh:mm:ss")));
    const int from = QTime(0, 0).secsTo(before), to = QTime(0, 0).secsTo(after);
    EXPECT_TRUE(from <= to ? from <= stamped && stamped <= to : stamped >= from || stamped <= to)
        << raw[0].toStdString();

    WindowLog log;
    MUDPWindow window{recordLog, &log};
    p->setHostWindow(windowHandle(window));
    UnitInspector::writeLog(p.unit(), QString::fromUtf8("名字 ") + QStringLiteral("x"));
    ASSERT_EQ(log.lines.size(), 1);
    // The window gets the whole line, prefix included, in GB18030.
    EXPECT_TRUE(log.lines[0].endsWith("\xC3\xFB\xD7\xD6 x")) << log.lines[0].toHex().toStdString();
    EXPECT_EQ(log.lengths[0], log.lines[0].size());
    EXPECT_EQ(log.lines[0].size(), 9 + 6);
}

TEST(Log, NamesFromTheNetworkAreDecoded)
{
    Peer server("server", "127.0.0.2", 46201);
    Peer client("\xD6\xD0\xCE\xC4", "127.0.0.2", 46202);
    client->regToServer("127.0.0.2", 46201);
    EXPECT_TRUE(server.hasLog(QString::fromUtf8("Accept peer regist 中文 from 127.0.0.2:46202")))
        << server.logs.join('\n').toStdString();
}
