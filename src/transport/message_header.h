// The 80-byte text header at the start of every message: a protocol word and
// up to six fields, separated by "$".
#pragma once

#include <QByteArray>

class HeaderFields {
public:
    static constexpr int kPositions = 7;

    // Parses the first min(80, size) bytes of a message, up to a NUL. Runs
    // of "$" are one separator; empty fields vanish; fields past 6 are ignored.
    static HeaderFields parse(const char *message, int size);

    // Field i as text; a field the message does not carry is "".
    const char *text(int i) const;
    // Field i read as a decimal number: its leading digits, 0 without any.
    int number(int i) const;
    // Field i read as a port: false when it is missing, has no digits, or
    // names a number above 65535 (which a 16-bit cast would wrap around).
    bool port(int i, unsigned short *out) const;
    bool has(int i) const { return i >= 0 && i < count; }
    int size() const { return count; }

private:
    QByteArray fields[kPositions];
    int count = 0;
};

// Reads the leading decimal digits of s; no digits read as 0. Overlong digit
// runs wrap around as 32-bit arithmetic would rather than overflow.
int leadingNumber(const char *s);
