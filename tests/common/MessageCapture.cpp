#include "MessageCapture.h"

#include <mutex>
#include <utility>
#include <vector>

namespace tk {
namespace {
std::mutex gMutex;
std::vector<std::pair<QtMsgType, QString>> gMessages;

void collect(QtMsgType type, const QMessageLogContext&, const QString& text) {
    std::lock_guard<std::mutex> lock(gMutex);
    gMessages.emplace_back(type, text);
}

// The messages of *type, or all of them when type is null.
QStringList select(const QtMsgType* type) {
    std::lock_guard<std::mutex> lock(gMutex);
    QStringList out;
    for (const auto& m : gMessages)
        if (!type || m.first == *type) out << m.second;
    return out;
}
}  // namespace

MessageCapture::MessageCapture() {
    clear();
    mPrevious = qInstallMessageHandler(collect);
}

MessageCapture::~MessageCapture() { qInstallMessageHandler(mPrevious); }

QStringList MessageCapture::messages() const { return select(nullptr); }

QStringList MessageCapture::messages(QtMsgType type) const { return select(&type); }

bool MessageCapture::contains(const QString& text) const { return !messages().filter(text).isEmpty(); }

void MessageCapture::clear() {
    std::lock_guard<std::mutex> lock(gMutex);
    gMessages.clear();
}

}  // namespace tk
