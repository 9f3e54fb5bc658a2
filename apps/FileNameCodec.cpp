#include "FileNameCodec.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTextCodec>

namespace cli {
namespace {

constexpr ushort kEscape = 0xDC00;  // lone low surrogates U+DC80..U+DCFF carry bytes 0x80..0xFF

// Length of the valid UTF-8 sequence at s (n bytes available), 0 when the
// bytes there are no valid sequence, -1 when they are the valid start of one
// that the input cuts short.
int sequenceLength(const uchar* s, int n, uint* code) {
    const uchar b = s[0];
    if (b < 0x80) {
        *code = b;
        return 1;
    }
    int len;
    uint c, min;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2, c = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, c = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, c = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    for (int i = 1; i < len; ++i) {
        if (i >= n) return -1;
        if ((s[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (s[i] & 0x3F);
        // Reject overlong forms, surrogates and values past U+10FFFF as soon
        // as the second byte tells.
        if (i == 1 && len >= 3) {
            const uint top = c << (6 * (len - 2));
            if (top < min || top > 0x10FFFF || (top >= 0xD800 && top <= 0xDFFF)) return 0;
        }
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *code = c;
    return len;
}

class ByteKeepingUtf8 : public QTextCodec {
public:
    QByteArray name() const override { return "UTF-8 (bytes kept)"; }
    QList<QByteArray> aliases() const override { return {}; }
    int mibEnum() const override { return -106; }  // UTF-8's number, negated: never looked up by it

protected:
    // A sequence cut at the end of a chunk waits in the state for the next
    // one (streams decode in chunks); without a state it is kept as bytes.
    QString convertToUnicode(const char* in, int length, ConverterState* state) const override {
        QByteArray bytes;
        if (state && state->remainingChars > 0) {
            bytes.append(reinterpret_cast<const char*>(state->state_data), state->remainingChars);
            state->remainingChars = 0;
        }
        bytes.append(in, length);
        const uchar* s = reinterpret_cast<const uchar*>(bytes.constData());
        const int n = bytes.size();
        QString out;
        out.reserve(n);
        for (int i = 0; i < n;) {
            uint code = 0;
            const int len = sequenceLength(s + i, n - i, &code);
            if (len == -1 && state && n - i <= 3) {
                for (int k = 0; k < n - i; ++k) state->state_data[k] = s[i + k];
                state->remainingChars = n - i;
                break;
            }
            if (len <= 0) {
                out.append(QChar(ushort(kEscape + s[i])));
                ++i;
                continue;
            }
            if (code >= 0x10000) {
                out.append(QChar(QChar::highSurrogate(code)));
                out.append(QChar(QChar::lowSurrogate(code)));
            } else {
                out.append(QChar(ushort(code)));
            }
            i += len;
        }
        return out;
    }

    QByteArray convertFromUnicode(const QChar* in, int length, ConverterState*) const override {
        QByteArray out;
        out.reserve(length * 3);
        for (int i = 0; i < length; ++i) {
            uint c = in[i].unicode();
            if (QChar::isHighSurrogate(c) && i + 1 < length && in[i + 1].isLowSurrogate()) {
                c = QChar::surrogateToUcs4(ushort(c), in[i + 1].unicode());
                ++i;
            } else if (c >= kEscape + 0x80 && c <= kEscape + 0xFF) {
                out.append(char(c - kEscape));
                continue;
            } else if (QChar::isSurrogate(c)) {
                out.append('?');
                continue;
            }
            if (c < 0x80) {
                out.append(char(c));
            } else if (c < 0x800) {
                out.append(char(0xC0 | (c >> 6)));
                out.append(char(0x80 | (c & 0x3F)));
            } else if (c < 0x10000) {
                out.append(char(0xE0 | (c >> 12)));
                out.append(char(0x80 | ((c >> 6) & 0x3F)));
                out.append(char(0x80 | (c & 0x3F)));
            } else {
                out.append(char(0xF0 | (c >> 18)));
                out.append(char(0x80 | ((c >> 12) & 0x3F)));
                out.append(char(0x80 | ((c >> 6) & 0x3F)));
                out.append(char(0x80 | (c & 0x3F)));
            }
        }
        return out;
    }
};

}  // namespace

void installFileNameCodec() {
    QTextCodec* current = QTextCodec::codecForLocale();
    if (!current || current->mibEnum() != 106) return;
    // Qt owns every codec created (it registers itself in the constructor and
    // Qt deletes the registered codecs at exit), so it is made once and never
    // deleted here.
    static QTextCodec* const codec = new ByteKeepingUtf8;
    QTextCodec::setCodecForLocale(codec);
}

}  // namespace cli
