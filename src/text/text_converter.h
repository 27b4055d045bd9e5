// Conversion between GB18030 byte strings and Qt strings, through iconv or,
// on Windows, the system code pages (text/conversion.h).
#pragma once

#include <QByteArray>
#include <QString>

class TextConverter {
public:
    // bytes (NUL-terminated, in fromCode) as a Qt string; null gives "".
    // Conversion stops at the first invalid or incomplete sequence.
    QString decode(const char *fromCode, const char *bytes);

    // text as NUL-terminated bytes in toCode. The pointer refers to this
    // converter's buffer and is valid until its next conversion.
    char *encode(const char *toCode, const QString &text);

private:
    QByteArray buffer; // output of the last conversion
    QString text;      // result of the last decode
};
