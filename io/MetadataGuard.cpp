#include "io/MetadataGuard.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <algorithm>

namespace MetadataGuard {
namespace {

uint32_t le32(const QByteArray& b, int at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
           uint32_t(uint8_t(b[at + 3])) << 24;
}
uint64_t le64(const QByteArray& b, int at) { return uint64_t(le32(b, at)) | uint64_t(le32(b, at + 4)) << 32; }
uint32_t be32(const QByteArray& b, int at) {
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
           uint32_t(uint8_t(b[at + 3]));
}
uint32_t be24(const QByteArray& b, int at) {
    return uint32_t(uint8_t(b[at])) << 16 | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2]));
}
uint32_t syncsafe(const QByteArray& b, int at) {
    return uint32_t(uint8_t(b[at]) & 0x7f) << 21 | uint32_t(uint8_t(b[at + 1]) & 0x7f) << 14 |
           uint32_t(uint8_t(b[at + 2]) & 0x7f) << 7 | uint32_t(uint8_t(b[at + 3]) & 0x7f);
}

// `n` bytes at `offset`; fewer at the end of the file.
QByteArray readAt(QIODevice& file, int64_t offset, int64_t n) {
    if (!file.seek(offset)) return QByteArray();
    return file.read(n);
}

// Bytes a file starts with before its container: an ID3v2 tag (some FLAC files
// carry one, and every reader skips it by its length).
int64_t id3Length(const QByteArray& head) {
    if (head.size() < 10 || !head.startsWith("ID3")) return 0;
    const bool footer = (uint8_t(head[5]) & 0x10) != 0;
    return 10 + int64_t(syncsafe(head, 6)) + (footer ? 10 : 0);
}

constexpr int kMaxBlocks = 100000;  // a walk gives up on a file of more (a loop of zero-length blocks)

}  // namespace

QString Skips::text() const { return reasons.join("; "); }

QString sizeText(int64_t bytes) {
    const double b = double(bytes);
    if (bytes >= (int64_t(1) << 30)) return QString("%1 GiB").arg(QString::number(b / double(1 << 30), 'f', 1));
    if (bytes >= (int64_t(1) << 20)) return QString("%1 MiB").arg(QString::number(b / double(1 << 20), 'f', 0));
    if (bytes >= 1024) return QString("%1 KiB").arg(QString::number(b / 1024.0, 'f', 0));
    return QString("%1 bytes").arg(bytes);
}

void applyPatches(const std::vector<Patch>& patches, int64_t offset, char* data, int64_t n) {
    for (const Patch& p : patches) {
        const int64_t from = std::max(offset, p.offset), to = std::min(offset + n, p.offset + p.bytes.size());
        for (int64_t at = from; at < to; ++at) data[at - offset] = p.bytes[int(at - p.offset)];
    }
}

Skips riffSkips(QIODevice& file) {
    Skips s;
    const QByteArray head = readAt(file, 0, 12);
    if (head.size() < 12 || !(head.startsWith("RIFF") || head.startsWith("RF64")) || head.mid(8, 4) != "WAVE")
        return s;
    const int64_t size = file.size();
    uint64_t rf64Data = 0;
    int64_t pos = 12;
    for (int k = 0; k < kMaxBlocks && pos + 8 <= size; ++k) {
        const QByteArray h = readAt(file, pos, 8);
        if (h.size() < 8) break;
        const QByteArray id = h.left(4);
        uint64_t length = le32(h, 4);
        if (id == "ds64") {
            const QByteArray ds = readAt(file, pos + 8, 16);
            if (ds.size() == 16) rf64Data = le64(ds, 8);
        }
        if (id == "data" && length == 0xFFFFFFFFu && rf64Data > 0) length = rf64Data;
        const bool text = id == "LIST", tag = id == "id3 " || id == "ID3 ";
        const int64_t limit = text ? kMaxTextBlockBytes : kMaxTagBytes;
        if ((text || tag) && int64_t(length) > limit) {
            s.patches.push_back({pos, QByteArray("JUNK")});
            s.reasons << QString("its %1 chunk of %2 is more than tags take (at most %3)")
                             .arg(QString::fromLatin1(id.trimmed()), sizeText(int64_t(length)), sizeText(limit));
        }
        pos += 8 + int64_t(length) + int64_t(length & 1);
    }
    return s;
}

Skips flacSkips(QIODevice& file) {
    Skips s;
    int64_t pos = id3Length(readAt(file, 0, 10));
    if (readAt(file, pos, 4) != "fLaC") return s;
    pos += 4;
    const int64_t size = file.size();
    for (int k = 0; k < kMaxBlocks && pos + 4 <= size; ++k) {
        const QByteArray h = readAt(file, pos, 4);
        if (h.size() < 4) break;
        const bool last = (uint8_t(h[0]) & 0x80) != 0;
        const int type = uint8_t(h[0]) & 0x7f;
        const int64_t length = be24(h, 1);
        if (type == 6) {
            // Picture type, MIME length and text, description length and text,
            // width, height, depth, colours, data length and data.
            const QByteArray body = readAt(file, pos + 4, std::min<int64_t>(length, 1 << 16));
            int64_t need = 8;
            uint64_t claimed = 0;
            if (body.size() >= 8) {
                need += be32(body, 4) + 4;
                if (need <= body.size()) {
                    need += be32(body, int(need - 4)) + 20;
                    if (need <= body.size()) claimed = be32(body, int(need - 4));
                    need += int64_t(claimed);
                }
            }
            if (need > length) {
                s.patches.push_back({pos, QByteArray(1, char((last ? 0x80 : 0) | 1))});  // padding
                s.reasons << QString("its cover picture is damaged (a picture block of %1 claims %2)")
                                 .arg(sizeText(length), sizeText(int64_t(std::max<uint64_t>(claimed, uint64_t(need)))));
            }
        }
        pos += 4 + length;
        if (last) break;
    }
    return s;
}

Skips mp3Skips(QIODevice& file) {
    Skips s;
    const QByteArray head = readAt(file, 0, 10);
    const int64_t length = id3Length(head);
    if (length > kMaxTagBytes) {
        s.patches.push_back({0, QByteArray("TAG")});  // no longer an ID3v2 header
        s.reasons << QString("its ID3v2 tag of %1 is more than tags take (at most %2)")
                         .arg(sizeText(length), sizeText(kMaxTagBytes));
    }
    return s;
}

Skips skipsOf(const QString& fileName) {
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly) || f.isSequential()) return Skips();
    const QString ext = QFileInfo(fileName).suffix().toLower();
    if (ext == "wav") return riffSkips(f);
    if (ext == "mp3") return mp3Skips(f);
    return Skips();
}

QString oggCommentProblem(QIODevice& file) {
    // The second packet of the first stream, gathered from the pages it spans
    // (its first bytes are enough to find a length that runs past it).
    QByteArray packet;
    int packets = 0;
    int64_t pos = 0;
    const int64_t size = file.size();
    bool complete = false;
    for (int k = 0; k < kMaxBlocks && pos + 27 <= size && !complete; ++k) {
        const QByteArray h = readAt(file, pos, 27);
        if (h.size() < 27 || !h.startsWith("OggS")) return QString();
        const int segments = uint8_t(h[26]);
        const QByteArray table = readAt(file, pos + 27, segments);
        if (table.size() < segments) return QString();
        int64_t at = pos + 27 + segments;
        for (int i = 0; i < segments && !complete; ++i) {
            const int n = uint8_t(table[i]);
            if (packets == 1) {
                if (packet.size() + n > kMaxTagBytes) return QString();  // a comment that size is read as it is
                packet += readAt(file, at, n);
            }
            at += n;
            if (n < 255) {
                ++packets;
                complete = packets == 2;
            }
        }
        pos = at;
    }
    if (!complete || !packet.startsWith("\x03vorbis")) return QString();
    const int64_t total = packet.size();
    int64_t at = 7;
    auto claims = [&](const QString& what) -> QString {
        if (at + 4 > total) return QString("the comment block ends inside %1").arg(what);
        const uint32_t n = le32(packet, int(at));
        at += 4;
        if (int64_t(n) > total - at)
            return QString("%1 claims %2 bytes where %3 remain").arg(what).arg(n).arg(total - at);
        at += n;
        return QString();
    };
    QString why = claims("the vendor text");
    if (!why.isEmpty()) return why;
    if (at + 4 > total) return "the comment block ends before its comment count";
    const uint32_t count = le32(packet, int(at));
    at += 4;
    if (int64_t(count) > (total - at) / 4)
        return QString("it counts %1 comments in the %2 bytes left").arg(count).arg(total - at);
    for (uint32_t i = 0; i < count; ++i)
        if (!(why = claims(QString("comment %1").arg(i + 1))).isEmpty()) return why;
    return QString();
}

}  // namespace MetadataGuard
