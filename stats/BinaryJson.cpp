#include "stats/BinaryJson.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QtEndian>
#include <QString>
#include <cstdint>
#include <cstring>

namespace SoundTools {
namespace detail {

namespace {

// The layout, all little-endian 32-bit words unless said otherwise:
//   header:  "qbjs", version 1, then the root container.
//   container: size in bytes (itself included), a word whose bit 0 says
//     object and bits 1..31 count the elements, and the offset of its table
//     from the container's start. The table ends the container: an array's
//     holds one value word per element; an object's the offset of each entry.
//   value word: type in bits 0..2 (null, bool, double, string, array,
//     object), bit 3 "inline" (a double that is an integer; a Latin-1
//     string), bit 4 a Latin-1 key (entries only), bits 5..31 the payload:
//     the bool, the integer (signed), or the offset of the data from the
//     start of the container holding the value.
//   entry: a value word, then the key.
//   string: a 32-bit count of UTF-16 units and the units; Latin-1 string: a
//     16-bit count of bytes and the bytes.
constexpr uint32_t kHeaderBytes = 8;
constexpr uint32_t kContainerBytes = 12;
// Statistics files nest three or four deep; the bound, as deep as Qt parses
// JSON text, keeps a hostile file from exhausting the stack.
constexpr int kMaxDepth = 1024;

enum Type : uint32_t { Null = 0, Bool = 1, Double = 2, String = 3, Array = 4, Object = 5 };

class Reader {
public:
    explicit Reader(const char* bytes) : p_(reinterpret_cast<const unsigned char*>(bytes)) {}

    // The container at `at`, which may take at most `room` bytes. Every `room`
    // handed down ends within the data, so checking against it is enough.
    bool container(uint32_t at, uint64_t room, int depth, QJsonValue& out) const {
        if (depth > kMaxDepth || room < kContainerBytes) return false;
        const uint32_t size = word(at), shape = word(at + 4), table = word(at + 8);
        const bool isObject = shape & 1u;
        const uint64_t count = shape >> 1;
        if (size < kContainerBytes || size > room) return false;
        // Qt leaves the table offset of an empty container at 0.
        if (count > 0 && (table < kContainerBytes || uint64_t(table) + 4 * count > size)) return false;
        const uint32_t tableAt = at + table;
        if (!isObject) {
            QJsonArray array;
            for (uint32_t i = 0; i < count; ++i) {
                QJsonValue v;
                if (!value(word(tableAt + 4 * i), at, table, depth, v)) return false;
                array.append(v);
            }
            out = array;
            return true;
        }
        QJsonObject object;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t entry = word(tableAt + 4 * i);
            if (entry < kContainerBytes || uint64_t(entry) + 4 > table) return false;
            const uint32_t head = word(at + entry);
            QString key;
            if (!text(at + entry + 4, table - entry - 4, (head >> 4) & 1u, key)) return false;
            QJsonValue v;
            if (!value(head, at, table, depth, v)) return false;
            object.insert(key, v);
        }
        out = object;
        return true;
    }

private:
    uint32_t word(uint32_t at) const { return qFromLittleEndian<quint32>(p_ + at); }

    // A string at `at` within `room` bytes, Latin-1 or UTF-16.
    bool text(uint32_t at, uint64_t room, bool latin1, QString& out) const {
        if (latin1) {
            if (room < 2) return false;
            const uint32_t n = qFromLittleEndian<quint16>(p_ + at);
            if (2 + uint64_t(n) > room) return false;
            out = QString::fromLatin1(reinterpret_cast<const char*>(p_ + at + 2), int(n));
            return true;
        }
        if (room < 4) return false;
        const uint64_t n = word(at);
        if (4 + 2 * n > room) return false;
        out.resize(int(n));
        QChar* c = out.data();
        for (uint64_t i = 0; i < n; ++i)
            c[i] = QChar(qFromLittleEndian<quint16>(p_ + at + 4 + 2 * i));
        return true;
    }

    // The value `v` of the container at `base` whose table starts `table`
    // bytes in; data lies between the container's header and its table.
    bool value(uint32_t v, uint32_t base, uint32_t table, int depth, QJsonValue& out) const {
        const uint32_t type = v & 7u;
        const bool inlined = (v >> 3) & 1u;
        const uint32_t payload = v >> 5;
        switch (type) {
        case Null:
            out = QJsonValue(QJsonValue::Null);
            return true;
        case Bool:
            out = QJsonValue(payload != 0);
            return true;
        default:
            break;
        }
        if (type == Double && inlined) {
            out = QJsonValue(double(int32_t(v) >> 5));  // the payload, sign-extended
            return true;
        }
        if (type > Object || payload < kContainerBytes || payload >= table) return false;
        const uint32_t at = base + payload;
        const uint64_t room = table - payload;
        if (type == Double) {
            if (room < 8) return false;
            const quint64 bits = qFromLittleEndian<quint64>(p_ + at);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            out = QJsonValue(d);
            return true;
        }
        if (type == String) {
            QString s;
            if (!text(at, room, inlined, s)) return false;
            out = QJsonValue(s);
            return true;
        }
        QJsonValue inner;
        if (!container(at, room, depth + 1, inner) || inner.isObject() != (type == Object)) return false;
        out = inner;
        return true;
    }

    const unsigned char* p_;
};

}  // namespace

QJsonDocument decodeBinaryJson(const QByteArray& data) {
    if (uint32_t(data.size()) < kHeaderBytes + kContainerBytes || !data.startsWith("qbjs") ||
        qFromLittleEndian<quint32>(data.constData() + 4) != 1)
        return QJsonDocument();
    QJsonValue root;
    if (!Reader(data.constData()).container(kHeaderBytes, uint64_t(data.size()) - kHeaderBytes, 0, root)) return QJsonDocument();
    return root.isObject() ? QJsonDocument(root.toObject()) : QJsonDocument(root.toArray());
}

}  // namespace detail
}  // namespace SoundTools
