#include "io/Mp3FrameWalk.h"

#include <QFile>

namespace SoundMp3Frames {
namespace {

// Frame header fields that stay the same over a stream.
struct Header {
    int version = 0;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer = 0;    // 1, 2 or 3
    int rate = 0;     // Hz
    int length = 0;   // bytes of the whole frame; 0 for a free-format frame
};

bool parse(const uchar* p, Header* h) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int version = (p[1] >> 3) & 3, layerBits = (p[1] >> 1) & 3;
    const int bitrateIndex = p[2] >> 4, rateIndex = (p[2] >> 2) & 3, padding = (p[2] >> 1) & 1;
    if (version == 1 || layerBits == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
    static const int kRates[3] = {44100, 48000, 32000};
    static const int kBitrates[2][3][15] = {
        // MPEG-1: layers I, II, III (kbit/s)
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        // MPEG-2 and 2.5
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    h->version = version;
    h->layer = 4 - layerBits;
    h->rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const int kbps = kBitrates[version == 3 ? 0 : 1][h->layer - 1][bitrateIndex];
    if (kbps == 0) {
        h->length = 0;
    } else if (h->layer == 1) {
        h->length = (12000 * kbps / h->rate + padding) * 4;
    } else {
        const int perSample = h->layer == 3 && version != 3 ? 72000 : 144000;
        h->length = perSample * kbps / h->rate + padding;
    }
    return true;
}

int64_t id3v2Size(const uchar* p, int64_t n) {
    if (n < 10 || p[0] != 'I' || p[1] != 'D' || p[2] != '3') return 0;
    const int64_t body = int64_t(p[6] & 0x7f) << 21 | int64_t(p[7] & 0x7f) << 14 | int64_t(p[8] & 0x7f) << 7 | (p[9] & 0x7f);
    return 10 + body + ((p[5] & 0x10) ? 10 : 0);
}

// The end of the audio: before an ID3v1 tag and an APEv2 tag at the end.
int64_t audioEnd(const uchar* p, int64_t n) {
    int64_t end = n;
    if (end >= 128 && p[end - 128] == 'T' && p[end - 127] == 'A' && p[end - 126] == 'G') end -= 128;
    if (end >= 32 && QByteArray::fromRawData(reinterpret_cast<const char*>(p + end - 32), 8) == "APETAGEX") {
        const uchar* f = p + end - 32;
        const int64_t size = int64_t(f[12]) | int64_t(f[13]) << 8 | int64_t(f[14]) << 16 | int64_t(f[15]) << 24;
        const bool header = (f[23] & 0x80) != 0;
        const int64_t tag = size + (header ? 32 : 0);
        if (tag <= end) end -= tag;
    }
    return end;
}

}  // namespace

Walk walk(const QString& path) {
    Walk w;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 4) return w;
    const int64_t n = file.size();
    const uchar* p = file.map(0, n);
    if (!p) return w;
    int64_t pos = 0;
    for (int64_t tag; (tag = id3v2Size(p + pos, n - pos)) > 0 && pos + tag < n;) pos += tag;
    const int64_t end = audioEnd(p, n);
    // The first frame: a header whose frame is followed by another header of
    // the same stream, so that a stray sync pattern in leading junk is passed.
    Header first;
    for (; pos + 4 <= end; ++pos) {
        Header h, next;
        if (!parse(p + pos, &h) || h.length == 0) continue;
        if (pos + h.length == end || (pos + h.length + 4 <= end && parse(p + pos + h.length, &next) &&
                                      next.version == h.version && next.layer == h.layer && next.rate == h.rate)) {
            first = h;
            break;
        }
    }
    if (first.layer == 0) return w;
    for (;;) {
        if (pos == end) {
            w.outcome = Walk::Complete;
            return w;
        }
        Header h;
        if (end - pos < 4) {
            w.outcome = Walk::Truncated;
            w.at = pos;
            return w;
        }
        if (!parse(p + pos, &h) || h.version != first.version || h.layer != first.layer || h.rate != first.rate) {
            w.outcome = Walk::Damaged;
            w.at = pos;
            return w;
        }
        if (h.length == 0) return w;  // free format: lengths are not in the headers
        if (pos + h.length > end) {
            w.outcome = Walk::Truncated;
            w.at = pos;
            return w;
        }
        pos += h.length;
        ++w.frames;
    }
}

}  // namespace SoundMp3Frames
